#pragma once
// What the device link talks through: the serial port (CSerialTransport),
// or a device a test keeps in memory. A transport also keeps the time the
// link's time-outs and pauses run on: the steady clock for the serial
// port, a clock of its own for a device in memory, so that an exchange
// that waits ten seconds for a reply that never comes takes no time there.
// Every failure is a CSerialException, as the serial port's.

#include <cstddef>
#include <string>

class CSerialPort;

class CTransport {
public:
    virtual ~CTransport() = default;

    // Opens the device at path with the device's line settings (57600
    // baud, 8 data bits, no parity, one stop bit, no flow control).
    virtual void Open(const std::string& path) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // Throws away what has arrived and not been read, or what is queued
    // and not yet sent.
    virtual void ClearInput() = 0;
    virtual void ClearOutput() = 0;
    // Writes within at most ms; the bytes written.
    virtual size_t Write(const char* data, size_t count, double ms) = 0;
    // True when input has arrived within ms; a hung-up line throws.
    virtual bool WaitForInput(double ms) = 0;
    // What has arrived, without waiting.
    virtual size_t Read(char* buffer, size_t count) = 0;
    // Waits until what was written has gone out, at most ms.
    virtual void Flush(double ms) = 0;

    // Milliseconds on the transport's clock, and a pause on it.
    virtual double NowMs();
    virtual void Pause(double ms);
};

// The serial port as a transport.
class CSerialTransport : public CTransport {
public:
    explicit CSerialTransport(CSerialPort& port) : m_port(port) {}

    void Open(const std::string& path) override;
    void Close() override;
    bool IsOpen() const override;
    void ClearInput() override;
    void ClearOutput() override;
    size_t Write(const char* data, size_t count, double ms) override;
    bool WaitForInput(double ms) override;
    size_t Read(char* buffer, size_t count) override;
    void Flush(double ms) override;

private:
    CSerialPort& m_port;
};
