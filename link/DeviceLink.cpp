#include "link/DeviceLink.h"

#include "link/Frame.h"
#include "link/Stopwatch.h"

#include <chrono>
#include <cstring>
#include <thread>

#include <sys/prctl.h>

std::mutex g_portLock;

std::string MakeRequest(std::string_view body)
{
    CFrame frame(body);
    return frame.AppendChecksum();
}

namespace {

// The reply up to and including its first EOT, when that EOT stands at
// index 1 or later; empty otherwise (no EOT, or one at the very start).
std::string CompleteReply(const std::string& reply)
{
    const size_t eot = reply.find(FRAME_TERMINATOR);
    if (eot == std::string::npos || eot == 0)
        return {};
    return reply.substr(0, eot + 1);
}

}  // namespace

CDeviceLink::~CDeviceLink()
{
    if (m_port.IsOpen() || m_bHoldsLock)
        CloseDevicePort();
}

bool CDeviceLink::OpenDevicePort()
{
    // Taking the lock again on the same thread would never return.
    if (m_bHoldsLock && m_port.IsOpen())
        return true;
    if (!m_bHoldsLock) {
        g_portLock.lock();
        m_bHoldsLock = true;
    }
    try {
        m_port.Open(m_strPortPath, DEVICE_BAUD_RATE, ParityNone, DEVICE_DATA_BITS, StopBitsOne,
                    FlowNone, false);
        SerialTimeouts timeouts;
        m_port.GetTimeouts(timeouts);
        timeouts.ReadIntervalTimeout = 0xFFFFFFFFu;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = 0;
        timeouts.WriteTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutConstant = 0;
        m_port.SetTimeouts(timeouts);
        m_port.SetMask(DEVICE_EVENT_MASK);
    } catch (const CSerialException&) {
        // The port stays as far as it got: open or not.
    }
    if (m_port.IsOpen())
        return true;
    m_bHoldsLock = false;
    g_portLock.unlock();
    return false;
}

void CDeviceLink::CloseDevicePort()
{
    m_port.Close();
    if (m_bHoldsLock) {
        m_bHoldsLock = false;
        g_portLock.unlock();
    }
}

CDeviceLink::Ending CDeviceLink::Exchange(const std::string& request, double timeoutMs,
                                          std::string& reply)
{
    if (m_port.Write(request.data(), request.size()) == 0)
        return Ending::NothingWritten;

    CStopwatch stopwatch(true);
    char buffer[REPLY_READ_SIZE + 1];
    Ending ending = Ending::TimedOut;
    for (;;) {
        const double elapsed = stopwatch.PeekMilliseconds();
        if (elapsed >= timeoutMs)
            break;
        // Sleep until bytes arrive or the time is up; the stopwatch test
        // above decides which.
        if (!m_port.WaitForInput(timeoutMs - elapsed))
            continue;
        const size_t count = m_port.Read(buffer, REPLY_READ_SIZE);
        if (count == 0)
            continue;
        buffer[count] = '\0';
        // Taken as a zero-terminated text: a NUL ends what this read adds.
        reply.append(buffer, std::strlen(buffer));
        const size_t eot = reply.find(FRAME_TERMINATOR);
        if (eot != std::string::npos && eot >= 1) {
            ending = Ending::Complete;
            break;
        }
        if (reply.size() > MAX_REPLY_LENGTH) {
            ending = Ending::Overlong;
            break;
        }
    }
    stopwatch.Stop();
    return ending;
}

uint8_t CDeviceLink::Evaluate(Ending ending, const std::string& reply)
{
    switch (ending) {
    case Ending::NothingWritten:
        return TRANSACT_FAILED;
    case Ending::TimedOut:
        return TRANSACT_TIMEOUT;
    case Ending::Overlong:
        return TRANSACT_BAD_CHECKSUM;
    case Ending::Complete:
        break;
    }
    const CFrame frame(CompleteReply(reply));
    if (!frame.HasValidChecksum())
        return TRANSACT_BAD_CHECKSUM;
    const std::string& text = frame.GetText();
    const size_t separator = text.find(FRAME_SEPARATOR);
    return static_cast<uint8_t>(separator == std::string::npos ? text[0] : text[separator + 1]);
}

uint8_t CDeviceLink::Transact(const std::string& request, uint32_t timeoutMs)
{
    if (!OpenDevicePort())
        return TRANSACT_FAILED;
    uint8_t result;
    try {
        std::string reply;
        const Ending ending = Exchange(request, timeoutMs, reply);
        result = Evaluate(ending, reply);
    } catch (const CSerialException&) {
        result = TRANSACT_FAILED;
    }
    CloseDevicePort();
    return result;
}

uint8_t CDeviceLink::TransactOnOpenPort(const std::string& request, uint32_t timeoutMs)
{
    try {
        std::string reply;
        const Ending ending = Exchange(request, timeoutMs, reply);
        m_port.Flush();
        m_port.ClearWriteBuffer();
        m_port.ClearReadBuffer();
        m_port.Purge(PURGE_RXABORT);
        return Evaluate(ending, reply);
    } catch (const CSerialException&) {
        return TRANSACT_FAILED;
    }
}

std::string CDeviceLink::QueryField(const std::string& request)
{
    if (!OpenDevicePort())
        return {};
    std::string reply;
    try {
        const Ending ending = Exchange(request, QUERY_TIMEOUT_MS, reply);
        if (ending != Ending::Complete)
            reply.clear();
    } catch (const CSerialException&) {
        // What arrived so far is examined below; it holds no complete reply.
    }
    CloseDevicePort();

    const CFrame frame(CompleteReply(reply));
    if (!frame.HasValidChecksum())
        return {};
    const std::string& text = frame.GetText();
    const size_t first = text.find(FRAME_SEPARATOR);
    if (first == std::string::npos)
        return {};
    const size_t second = text.find(FRAME_SEPARATOR, first + 1);
    if (second == std::string::npos)
        return {};
    return text.substr(first + 1, second - first - 1);
}

void CDeviceLink::SendRestart()
{
    Transact(MakeRequest(REQUEST_RESTART), RESTART_TIMEOUT_MS);
}

bool CDeviceLink::CheckDeviceIndex()
{
    const std::string request = MakeRequest(REQUEST_INDEX);
    for (int attempt = 0; attempt < DEVICE_ATTEMPTS; ++attempt) {
        const std::string answer = QueryField(request);
        const std::string index = m_fileIndex ? m_fileIndex() : std::string();
        if (!answer.empty() && answer == index)
            return true;
    }
    return false;
}

bool CDeviceLink::ReadDeviceVersion()
{
    const std::string request = MakeRequest(REQUEST_VERSION);
    std::string answer;
    for (int attempt = 0; attempt < DEVICE_ATTEMPTS && answer.empty(); ++attempt)
        answer = QueryField(request);

    if (answer.empty() || answer.find('\xFF') != std::string::npos) {
        m_strDeviceVersion1.clear();
        m_strDeviceVersion2.clear();
        return false;
    }
    const size_t half = answer.size() / 2;
    m_strDeviceVersion1 = answer.substr(0, half);
    m_strDeviceVersion2 = answer.substr(answer.size() - half);
    return true;
}

void CDeviceLink::PauseBeforeLine()
{
    // The pause and the reply waits after it set the pace of a transfer:
    // wake up when asked rather than up to 50 us later (the default slack
    // for timers of this thread).
    thread_local const bool tightened = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
    (void)tightened;
    CStopwatch stopwatch(true);
    for (;;) {
        const double elapsed = stopwatch.PeekMilliseconds();
        if (elapsed > LINE_PAUSE_MS)
            break;
        // Sleep the rest, and a little more, so one sleep usually does.
        std::this_thread::sleep_for(
            std::chrono::duration<double, std::milli>(LINE_PAUSE_MS - elapsed + 0.05));
    }
}
