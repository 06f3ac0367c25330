#include "MemoryDevice.h"

#include "link/SerialPort.h"

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace {

// A byte's time on the line: ten bits at 57600 baud, in milliseconds.
constexpr double kByteMs = 10.0 * 1000.0 / 57600.0;

std::vector<Fault> ParseFaults(const std::vector<std::string>& texts)
{
    std::vector<Fault> faults;
    for (const std::string& text : texts) {
        Fault fault;
        std::string error;
        if (ParseFault(text, fault, error))
            faults.push_back(fault);
    }
    return faults;
}

std::string WordOf(const Request& request)
{
    switch (request.kind) {
    case Request::Kind::BadChecksum:
        return "BAD";
    case Request::Kind::Command:
        return request.word;
    default:
        return "FW";
    }
}

}  // namespace

CMemoryDevice::CMemoryDevice(Options options)
    : m_options(std::move(options)), m_protocol(m_options.identity), m_faults(ParseFaults(m_options.faults))
{
}

std::vector<std::string> CMemoryDevice::Requests() const
{
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::vector<std::string> CMemoryDevice::RequestsAfterLines() const
{
    std::lock_guard lock(m_mutex);
    const auto last = std::find(m_requests.rbegin(), m_requests.rend(), "FW");
    if (last == m_requests.rend())
        return {};
    return std::vector<std::string>(last.base(), m_requests.end());
}

std::map<unsigned, unsigned> CMemoryDevice::Image() const
{
    std::lock_guard lock(m_mutex);
    return m_image;
}

bool CMemoryDevice::HungUp() const
{
    std::lock_guard lock(m_mutex);
    return m_hungUp;
}

void CMemoryDevice::Take(const std::string& bytes, double now)
{
    std::lock_guard lock(m_mutex);
    m_input += bytes;
    size_t eot;
    while ((eot = m_input.find('\x04')) != std::string::npos && !m_hungUp) {
        const std::string text = m_input.substr(0, eot + 1);
        m_input.erase(0, eot + 1);
        // A new frame stops a stream and what was still to come of it.
        m_stream = false;
        const Request request = m_protocol.Classify(text);
        m_requests.push_back(WordOf(request));
        const Fault* fault = FireOn(m_faults, request);
        double ready = now + static_cast<double>(text.size()) * kByteMs;
        if (request.kind == Request::Kind::Line || request.kind == Request::Kind::Resend)
            ready += m_options.lineTimeMs;
        const Answer answer = m_protocol.Respond(request, fault);
        for (size_t i = 0; i < answer.data.size(); ++i)
            m_image[static_cast<uint16_t>(answer.address + i)] = static_cast<unsigned char>(answer.data[i]);
        if (answer.hangUp) {
            m_hungUp = true;
            m_output.clear();
            return;
        }
        if (answer.stream) {
            m_stream = true;
            m_streamFrom = ready;
        }
        if (answer.reply.empty())
            continue;
        const Delivery delivery = Deliver(answer.reply, fault);
        if (!delivery.lead.empty()) {
            m_output.push_back({ready, delivery.lead});
            ready += static_cast<double>(delivery.lead.size()) * kByteMs + 1.0;
        }
        if (delivery.bytewise) {
            for (size_t i = 0; i < delivery.bytes.size(); ++i) {
                const bool last = i + 1 == delivery.bytes.size();
                m_output.push_back({ready + static_cast<double>(i), delivery.bytes.substr(i, 1), last ? answer.replyId : 0});
            }
        } else {
            m_output.push_back({ready + static_cast<double>(delivery.bytes.size()) * kByteMs, delivery.bytes,
                                answer.replyId});
        }
    }
}

// ---------------------------------------------------------------------------

void CMemoryPorts::Advance(double ms)
{
    m_nowNs += std::max<int64_t>(1, static_cast<int64_t>(std::ceil(ms * 1e6)));
}

void CMemoryPorts::AdvanceTo(double ms)
{
    m_nowNs = std::max(m_nowNs, static_cast<int64_t>(std::ceil(ms * 1e6)));
}

CMemoryDevice& CMemoryPorts::Device()
{
    if (m_open == nullptr)
        ThrowSerialException(EBADF);
    if (m_open->HungUp())
        ThrowSerialException(EIO);
    return *m_open;
}

void CMemoryPorts::Open(const std::string& path)
{
    const auto it = m_devices.find(path);
    if (it == m_devices.end())
        ThrowSerialException(ENOENT);
    if (it->second->HungUp())
        ThrowSerialException(EIO);
    m_open = it->second;
}

void CMemoryPorts::Close()
{
    m_open = nullptr;
}

void CMemoryPorts::ClearInput()
{
    CMemoryDevice& device = Device();
    std::lock_guard lock(device.m_mutex);
    // What has arrived is thrown away; a reply still to come is not here yet.
    while (!device.m_output.empty() && device.m_output.front().at <= NowMs()) {
        if (device.m_output.front().replyId != 0)
            device.m_protocol.ReplyLost(device.m_output.front().replyId);
        device.m_output.pop_front();
    }
}

size_t CMemoryPorts::Write(const char* data, size_t count, double)
{
    CMemoryDevice& device = Device();
    device.Take(std::string(data, count), NowMs());
    Advance(static_cast<double>(count) * kByteMs);
    if (device.HungUp())
        ThrowSerialException(EIO);
    return count;
}

bool CMemoryPorts::WaitForInput(double ms)
{
    CMemoryDevice& device = Device();
    std::lock_guard lock(device.m_mutex);
    double next = device.m_output.empty() ? -1 : device.m_output.front().at;
    if (device.m_stream && (next < 0 || device.m_streamFrom < next))
        next = device.m_streamFrom;
    if (next >= 0 && next <= NowMs() + ms) {
        AdvanceTo(next);
        return true;
    }
    Advance(ms);
    return false;
}

size_t CMemoryPorts::Read(char* buffer, size_t count)
{
    CMemoryDevice& device = Device();
    std::lock_guard lock(device.m_mutex);
    size_t done = 0;
    while (done < count && !device.m_output.empty() && device.m_output.front().at <= NowMs()) {
        CMemoryDevice::Chunk& chunk = device.m_output.front();
        const size_t take = std::min(count - done, chunk.bytes.size());
        std::copy_n(chunk.bytes.data(), take, buffer + done);
        done += take;
        chunk.bytes.erase(0, take);
        if (chunk.bytes.empty()) {
            if (chunk.replyId != 0)
                device.m_protocol.ReplySent(chunk.replyId);
            device.m_output.pop_front();
        }
    }
    if (done < count && device.m_stream && device.m_streamFrom <= NowMs()) {
        // Bytes without an end, as fast as the line brings them.
        const size_t take = count - done;
        std::fill_n(buffer + done, take, 'x');
        done += take;
        Advance(static_cast<double>(take) * kByteMs);
    }
    return done;
}
