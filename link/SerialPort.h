#pragma once
// A serial port over POSIX termios. Every failing call throws
// CSerialException carrying errno. Reads never block; WaitForInput blocks
// in poll() until bytes arrive, the time runs out, or the line hangs up.
// Write and Flush take a time limit, and Close discards what is still
// queued for the line, so a device that stops taking bytes holds nobody.
//
// Beside it, each in its own file: the error (SerialError.h), the line
// settings Open applies (LineSettings.h), who holds a port (PortProbe.h,
// UucpLock.h), and the calls that do nothing the tool needs on Linux
// (SerialInert.h).

#include "link/LineSettings.h"
#include "link/PortProbe.h"
#include "link/SerialError.h"
#include "link/SerialInert.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include <termios.h>

// The driver's low-latency mode (USB adapters otherwise hold input back for
// up to 16 ms). Get: false when the driver does not know the request. Set:
// true when the flag was changed; drivers that do not know the request are
// left alone.
bool GetLowLatency(int fd, bool& on);
bool SetLowLatency(int fd, bool on);

// Extra time Flush() allows beyond what the queued bytes need on the line.
inline constexpr double FLUSH_MARGIN_MS = 100.0;

class CSerialPort {
public:
    CSerialPort() = default;
    ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Opens the device node exclusively in raw mode with the given line
    // settings (MakeLineSettings) and empties both buffers. A port already
    // open is closed first. A failure throws and leaves the object closed
    // and the line as it was (EBUSY: another program holds the port, see
    // PortProbe.h; the UUCP lock file is checked before the device is
    // opened at all; EINVAL: a rate or number of data bits the line cannot
    // have). `overlapped` does nothing (SerialInert.h).
    void Open(const std::string& devicePath, uint32_t baudRate, ParityChoice parity, uint8_t dataBits,
              StopBitsChoice stopBits, FlowControlChoice flowControl, bool overlapped = false);
    // Discards output still queued for the line (so the close never waits
    // for a device that stopped taking it), restores the settings the port
    // had, clears the exclusive mode Open set, and closes it; nothing when
    // closed.
    void Close();
    bool IsOpen() const { return m_handle >= 0; }

    // Every call below throws EBADF on a closed port.

    // Returns at once with what has arrived (possibly 0 bytes). A hung-up
    // line throws (EIO).
    size_t Read(void* buffer, size_t count);
    // Writes everything; returns the number of bytes written, fewer only
    // when the write time-outs (multiplier x count + constant ms, both 0:
    // no limit) run out.
    size_t Write(const void* buffer, size_t count);
    // The same within at most `milliseconds` (and the write time-outs, when
    // set): what fits at once is always written, then the call waits for
    // room only as long as the limit allows. Returns the bytes written.
    size_t Write(const void* buffer, size_t count, double milliseconds);
    // Blocks until input is available (true) or milliseconds pass (false).
    // A hang-up or line error throws.
    bool WaitForInput(double milliseconds);
    // Waits until the driver's output queue is empty, at most
    // `milliseconds`; output still queued then (a device that stopped
    // taking bytes) throws ETIMEDOUT.
    void Flush(double milliseconds);
    // Flush with the time the queued bytes need at the line's rate, twice
    // over, plus FLUSH_MARGIN_MS.
    void Flush();
    void ClearWriteBuffer();
    void ClearReadBuffer();

    // Defined in SerialInert.cpp; what they do and do not do is said in
    // SerialInert.h.
    void GetState(SerialState& state);
    void SetState(const SerialState& state);
    void GetTimeouts(SerialTimeouts& timeouts);
    void SetTimeouts(const SerialTimeouts& timeouts);
    void SetMask(uint32_t mask);
    uint32_t GetMask() const { return m_mask; }
    void Purge(uint32_t flags);

    // ProbePort of PortProbe.h, on the class for the callers that ask it.
    static int ProbePort(const std::string& devicePath, int* osError = nullptr)
    {
        return ::ProbePort(devicePath, osError);
    }

    int m_handle = -1;
    bool m_overlapped = false;  // as Open was given it; I/O is never overlapped

private:
    void CheckOpen() const;              // throws EBADF when closed
    void FlushBuffers(int queueSelector);  // tcflush; throws on failure

    SerialTimeouts m_timeouts;
    uint32_t m_mask = 0;
    termios m_saved{};
    bool m_haveSaved = false;
    bool m_lowLatencySet = false;  // Open switched the driver to low latency
    bool m_exclusiveSet = false;   // Open put the terminal in exclusive mode
    bool m_dsrFlow = false;  // DSR flow chosen; termios cannot express it
};
