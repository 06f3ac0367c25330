#pragma once
// Devices in memory behind a transport (link/Transport.h), for tests of the
// operations and the device process without a pseudo-terminal: each answers
// through the simulated device's own protocol and faults (tools/cvf-devsim:
// Protocol, Faults), and the transport keeps a clock of its own that only
// moves when the link waits or pauses, so a time-out of ten seconds takes
// none. A reply arrives as fast as a 57600-baud line would bring it, on
// that clock.

#include "Faults.h"
#include "Protocol.h"
#include "link/Transport.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// One device and what it saw.
class CMemoryDevice {
public:
    struct Options {
        DeviceIdentity identity{};
        std::vector<std::string> faults{};  // as cvf-devsim's --fault takes them
        double lineTimeMs = 0;            // the device's own time per firmware line
    };
    explicit CMemoryDevice(Options options);
    CMemoryDevice() : CMemoryDevice(Options{}) {}

    // The requests heard, as Requests() of DeviceRecords.h names them (ASP,
    // PSD, EAE, RST, DPZ, FW, BAD), and those after the last firmware line.
    std::vector<std::string> Requests() const;
    std::vector<std::string> RequestsAfterLines() const;
    // The flash as the data lines wrote it: address -> byte.
    std::map<unsigned, unsigned> Image() const;
    bool HungUp() const;

private:
    friend class CMemoryPorts;
    struct Chunk {
        double at;  // on the transport's clock
        std::string bytes;
        uint64_t replyId = 0;
    };
    // Takes the bytes the host wrote at time now.
    void Take(const std::string& bytes, double now);

    Options m_options;
    CDeviceProtocol m_protocol;
    CFaultTable m_faults;
    mutable std::mutex m_mutex;
    std::string m_input;
    std::deque<Chunk> m_output;
    bool m_stream = false;
    double m_streamFrom = 0;
    bool m_hungUp = false;
    std::vector<std::string> m_requests;
    std::map<unsigned, unsigned> m_image;
};

// The ports the devices sit on, by device path: a transport for one link
// at a time.
class CMemoryPorts : public CTransport {
public:
    // The device on path; the transport does not own it.
    void Attach(const std::string& path, CMemoryDevice& device) { m_devices[path] = &device; }

    void Open(const std::string& path) override;
    void Close() override;
    bool IsOpen() const override { return m_open != nullptr; }
    void ClearInput() override;
    void ClearOutput() override {}
    size_t Write(const char* data, size_t count, double ms) override;
    bool WaitForInput(double ms) override;
    size_t Read(char* buffer, size_t count) override;
    void Flush(double) override {}
    double NowMs() override { return static_cast<double>(m_nowNs) / 1e6; }
    void Pause(double ms) override { Advance(ms); }

private:
    CMemoryDevice& Device();
    // Moves the clock on by ms, by a nanosecond at least, so that every
    // wait ends.
    void Advance(double ms);
    void AdvanceTo(double ms);

    std::map<std::string, CMemoryDevice*> m_devices;
    CMemoryDevice* m_open = nullptr;
    int64_t m_nowNs = 0;
};
