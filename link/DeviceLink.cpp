#include "link/DeviceLink.h"

#include "link/Frame.h"
#include "link/Stopwatch.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>


std::mutex g_portLock;

std::string MakeRequest(std::string_view body)
{
    CFrame frame(body);
    return frame.AppendChecksum();
}

CDeviceLink::~CDeviceLink()
{
    // m_port closes itself; the lock can only be given back by its holder.
    CloseDevicePort();
}

bool CDeviceLink::OpenDevicePort()
{
    if (m_openGate && std::find(m_allowedPaths.begin(), m_allowedPaths.end(), m_strPortPath) == m_allowedPaths.end()) {
        if (!m_openGate(m_strPortPath))
            return false;
        m_allowedPaths.push_back(m_strPortPath);
    }
    // Only the holder itself can find its own id here. Taking the lock
    // again on that thread would never return; any other thread waits.
    if (HeldByThisThread()) {
        if (m_transport->IsOpen())
            return true;
    } else {
        g_portLock.lock();
        m_lockHolder.store(std::this_thread::get_id());
    }
    try {
        m_transport->Open(m_strPortPath);
    } catch (const CSerialException&) {
        // The port stays as far as it got: open or not.
    }
    if (m_transport->IsOpen())
        return true;
    m_lockHolder.store(std::thread::id());
    g_portLock.unlock();
    return false;
}

void CDeviceLink::CloseDevicePort()
{
    // Another thread's port and lock are not ours to close or give back.
    if (!HeldByThisThread())
        return;
    m_transport->Close();
    m_lockHolder.store(std::thread::id());
    g_portLock.unlock();
}

ReplyEnding CDeviceLink::Exchange(const std::string& request, double timeoutMs, CReplyAssembler& reply)
{
    // Whatever waits in the input now came before this request: a late or
    // repeated answer to an earlier one, never the answer to this one.
    m_transport->ClearInput();
    // The time-out runs from before the write: a device that stops taking
    // bytes makes the write wait, and the exchange still ends in time.
    const double start = m_transport->NowMs();
    const size_t written = m_transport->Write(request.data(), request.size(), timeoutMs);
    if (written == 0)
        return ReplyEnding::NothingWritten;
    if (written < request.size())
        ThrowSerialException(ETIMEDOUT);

    char buffer[REPLY_READ_SIZE];
    ReplyEnding ending = ReplyEnding::TimedOut;
    for (;;) {
        const double left = timeoutMs - (m_transport->NowMs() - start);
        // Sleep until bytes arrive or the time is up; the stopwatch
        // decides which. Once it is up, one last look without waiting:
        // bytes that came while this process was not running (stopped by
        // the job control, a suspended machine) are the reply all the same.
        // An exchange given no time at all gets no look.
        if (left <= 0 && timeoutMs <= 0)
            break;
        if (!m_transport->WaitForInput(std::max(left, 0.0))) {
            if (left <= 0)
                break;
            continue;
        }
        const size_t count = m_transport->Read(buffer, sizeof buffer);
        const CReplyAssembler::State state = reply.Add(buffer, count);
        if (state == CReplyAssembler::Complete) {
            ending = ReplyEnding::Complete;
            break;
        }
        if (state == CReplyAssembler::Overlong) {
            ending = ReplyEnding::Overlong;
            break;
        }
    }
    return ending;
}

uint8_t CDeviceLink::Transact(const std::string& request, uint32_t timeoutMs)
{
    if (!OpenDevicePort())
        return TRANSACT_FAILED;
    uint8_t result;
    try {
        CReplyAssembler reply;
        const ReplyEnding ending = Exchange(request, timeoutMs, reply);
        result = EvaluateReply(ending, reply.GetText());
    } catch (const CSerialException&) {
        result = TRANSACT_FAILED;
    }
    CloseDevicePort();
    return result;
}

uint8_t CDeviceLink::TransactOnOpenPort(const std::string& request, uint32_t timeoutMs)
{
    if (!HeldByThisThread())
        return TRANSACT_FAILED;
    try {
        const double start = m_transport->NowMs();
        CReplyAssembler reply;
        const ReplyEnding ending = Exchange(request, timeoutMs, reply);
        // Output still queued this long after the exchange was not taken
        // by the device: a port error, as a write that ran out of time.
        m_transport->Flush(std::max(timeoutMs - (m_transport->NowMs() - start), 0.0) + FLUSH_SLACK_MS);
        m_transport->ClearOutput();
        m_transport->ClearInput();
        return EvaluateReply(ending, reply.GetText());
    } catch (const CSerialException&) {
        return TRANSACT_FAILED;
    }
}

std::string CDeviceLink::QueryField(const std::string& request)
{
    if (!OpenDevicePort())
        return {};
    std::string field;
    try {
        CReplyAssembler reply;
        if (Exchange(request, QUERY_TIMEOUT_MS, reply) == ReplyEnding::Complete)
            field = ReplyField(reply.GetText());
    } catch (const CSerialException&) {
        // A port error always comes before a complete reply: no field.
    }
    CloseDevicePort();
    return field;
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
        m_strDeviceIndex = answer;
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
