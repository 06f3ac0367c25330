#pragma once
// Request/reply exchanges with the device over its serial port, and the
// device commands built on them.
//
// Every exchange with the device is serialised by g_portLock: opening the
// device port takes it, closing the port gives it back, so between the
// two the calling thread has the device to itself. Transact and
// QueryField hold it for one exchange; a transfer holds it from opening
// the port until it closes it. The lock and the open port belong to the
// thread that opened it: only that thread uses, closes or reopens them;
// any other thread that opens the port waits for the lock like everybody
// else, and its CloseDevicePort does nothing.
//
// One time-out covers the whole exchange: writing the request (a device
// that stops taking bytes fills the output, and the write gives up when
// the time is up: a port error, TRANSACT_FAILED) and waiting for the
// reply. Waiting blocks in poll() for the time still left; the stopwatch
// alone decides when the time is up, and what has arrived by then still
// counts (a process that was stopped for a while finds its reply waiting).
// Every exchange empties the input
// right before it writes its request, so a reply that comes late, or
// twice, is never taken as the answer to the next request.

#include "link/Reply.h"
#include "link/SerialPort.h"
#include "link/Transport.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Transact and TransactOnOpenPort return TRANSACT_FAILED, TRANSACT_TIMEOUT,
// TRANSACT_BAD_CHECKSUM (link/Reply.h) or the status character of the
// device's reply.

// Status characters of the device's replies.
inline constexpr uint8_t STATUS_PRESENT = '0';        // after ASP: device in update mode
inline constexpr uint8_t STATUS_REJECTED = '0';       // after a firmware line: send it again
inline constexpr uint8_t STATUS_FLASH_ERROR = '2';    // the device could not write its flash
inline constexpr uint8_t STATUS_BLOCK_DONE = '3';     // line accepted and the block ended
inline constexpr uint8_t STATUS_ACCEPTED = 'A';       // line accepted
inline constexpr uint8_t STATUS_COMPLETE = 0xCF;      // after ASP: present; after a line: update complete

// Request bodies; MakeRequest completes them with checksum and EOT.
inline constexpr std::string_view REQUEST_STATUS = "ASP|";   // presence probe
inline constexpr std::string_view REQUEST_INDEX = "PSD|";    // index text in field 1
inline constexpr std::string_view REQUEST_VERSION = "EAE|";  // version text in field 1
inline constexpr std::string_view REQUEST_RESTART = "RST|";  // restart the device
inline constexpr std::string_view REQUEST_ABORT = "DPZ|";    // sent after a failed transfer, before RST

// Time-outs in milliseconds.
inline constexpr uint32_t STATUS_TIMEOUT_MS = 1000;   // ASP during the device search
inline constexpr uint32_t QUERY_TIMEOUT_MS = 3000;    // QueryField
inline constexpr uint32_t RESTART_TIMEOUT_MS = 400;   // SendRestart
inline constexpr uint32_t LINE_TIMEOUT_MS = 10000;    // one firmware line
inline constexpr uint32_t CLOSING_TIMEOUT_MS = 10000; // RST / DPZ at the end of a transfer
// How far the flush after an exchange on the open port may go past the
// exchange's time-out before output still queued counts as a port error.
inline constexpr double FLUSH_SLACK_MS = 50.0;

// Line settings for the device.
inline constexpr uint32_t DEVICE_BAUD_RATE = 57600;
inline constexpr uint8_t DEVICE_DATA_BITS = 8;
inline constexpr uint32_t DEVICE_EVENT_MASK = 0xE1;  // RXCHAR, RLSD, BREAK, ERR: set, never waited on

// Exchange limits (the reply limits are in link/Reply.h).
inline constexpr int DEVICE_ATTEMPTS = 3;         // PSD and EAE attempts
inline constexpr double LINE_PAUSE_MS = 4.0;      // pause before each firmware line

// The whole request for a body: body, two checksum digits, EOT.
std::string MakeRequest(std::string_view body);

// Held from OpenDevicePort to CloseDevicePort; one for the whole program.
extern std::mutex g_portLock;

class CDeviceLink {
public:
    // Over the serial port m_port.
    CDeviceLink() = default;
    // Over another transport, which must outlive the link.
    explicit CDeviceLink(CTransport& transport) : m_transport(&transport) {}
    ~CDeviceLink();
    CDeviceLink(const CDeviceLink&) = delete;
    CDeviceLink& operator=(const CDeviceLink&) = delete;

    // Takes g_portLock and opens m_strPortPath with the device's settings.
    // On false the port is closed and the lock is free again. When the
    // calling thread has the port open through this link already, it stays
    // open and the result is true; another thread waits for the lock.
    bool OpenDevicePort();
    // Closes the port and gives g_portLock back, when the calling thread
    // holds them through this link; nothing otherwise.
    void CloseDevicePort();
    bool IsPortOpen() const { return m_transport->IsOpen(); }

    // One exchange with its own open and close of the port.
    uint8_t Transact(const std::string& request, uint32_t timeoutMs);
    // One exchange on the port this thread opened with OpenDevicePort,
    // which stays open; afterwards the output is flushed (within what is
    // left of the time-out plus FLUSH_SLACK_MS) and both buffers are
    // emptied. TRANSACT_FAILED when this thread has not opened the port.
    uint8_t TransactOnOpenPort(const std::string& request, uint32_t timeoutMs);
    // Field 1 of the reply (between its first and second "|"); empty on
    // any failure. Opens and closes the port, waits up to 3000 ms.
    std::string QueryField(const std::string& request);

    // RST with 400 ms; the reply is not examined.
    void SendRestart();
    // PSD up to 3 times until the device's index equals the file's; the
    // last answer stays in m_strDeviceIndex.
    bool CheckDeviceIndex();
    // EAE up to 3 times while the answer is empty; splits it into halves.
    bool ReadDeviceVersion();

    // Sleeps until more than 4.0 ms have passed on the transport's clock:
    // the pause the device needs before each firmware line.
    void PauseBeforeLine() { m_transport->Pause(LINE_PAUSE_MS); }

    CSerialPort m_port;  // the transport unless another is given
    std::string m_strPort;      // name shown to the user, e.g. COM3
    std::string m_strPortPath;  // its device path, opened by OpenDevicePort
    std::string m_strDeviceVersion1;
    std::string m_strDeviceVersion2;
    std::string m_strDeviceIndex;  // the index the device gave at the last PSD attempt
    // Yields the firmware file's index text; read on every PSD attempt.
    std::function<std::string()> m_fileIndex;
    // Asked once for each device path before the first open of it; false
    // keeps the port closed, and that open fails. Unset: every open may go.
    std::function<bool(const std::string& path)> m_openGate;

private:
    // Empties the input, writes the request and collects the reply until
    // EOT or time-out, all within timeoutMs. Port errors throw
    // CSerialException, a request that could not be written whole in time
    // too (ETIMEDOUT).
    ReplyEnding Exchange(const std::string& request, double timeoutMs, CReplyAssembler& reply);
    bool HeldByThisThread() const { return m_lockHolder.load() == std::this_thread::get_id(); }

    CSerialTransport m_serial{m_port};
    CTransport* m_transport = &m_serial;
    // The thread holding g_portLock through this link; none when free.
    std::atomic<std::thread::id> m_lockHolder{};
    // The paths m_openGate let through.
    std::vector<std::string> m_allowedPaths;
};
