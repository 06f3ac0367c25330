#include "app/workflow/DeviceMessages.h"

namespace {

class CWriter {
public:
    explicit CWriter(uint8_t kind) : m_bytes(4, '\0') { U8(kind); }
    void U8(uint8_t value) { m_bytes += static_cast<char>(value); }
    void Flag(bool value) { U8(value ? 1 : 0); }
    void I32(int64_t value)
    {
        const auto v = static_cast<uint32_t>(value);
        for (int i = 0; i < 4; ++i)
            m_bytes += static_cast<char>((v >> (8 * i)) & 0xFF);
    }
    void I64(int64_t value)
    {
        const auto v = static_cast<uint64_t>(value);
        for (int i = 0; i < 8; ++i)
            m_bytes += static_cast<char>((v >> (8 * i)) & 0xFF);
    }
    void Bytes(std::string_view text)
    {
        I32(static_cast<int64_t>(text.size()));
        m_bytes.append(text);
    }
    // The frame with its length in front.
    std::string Done()
    {
        const auto length = static_cast<uint32_t>(m_bytes.size() - 4);
        for (int i = 0; i < 4; ++i)
            m_bytes[static_cast<size_t>(i)] = static_cast<char>((length >> (8 * i)) & 0xFF);
        return std::move(m_bytes);
    }

private:
    std::string m_bytes;
};

class CReader {
public:
    explicit CReader(std::string_view payload) : m_rest(payload) {}
    bool U8(uint8_t& value)
    {
        if (m_rest.empty())
            return false;
        value = static_cast<uint8_t>(m_rest[0]);
        m_rest.remove_prefix(1);
        return true;
    }
    bool Flag(bool& value)
    {
        uint8_t byte = 0;
        if (!U8(byte) || byte > 1)
            return false;
        value = byte == 1;
        return true;
    }
    bool U32(uint32_t& value)
    {
        if (m_rest.size() < 4)
            return false;
        value = 0;
        for (int i = 0; i < 4; ++i)
            value |= uint32_t{static_cast<unsigned char>(m_rest[static_cast<size_t>(i)])} << (8 * i);
        m_rest.remove_prefix(4);
        return true;
    }
    bool I32(int& value)
    {
        uint32_t raw = 0;
        if (!U32(raw))
            return false;
        value = static_cast<int32_t>(raw);
        return true;
    }
    bool I64(int64_t& value)
    {
        uint32_t low = 0;
        uint32_t high = 0;
        if (!U32(low) || !U32(high))
            return false;
        value = static_cast<int64_t>((uint64_t{high} << 32) | low);
        return true;
    }
    bool Bytes(std::string& text)
    {
        uint32_t size = 0;
        if (!U32(size) || size > m_rest.size())
            return false;
        text.assign(m_rest.substr(0, size));
        m_rest.remove_prefix(size);
        return true;
    }
    bool AtEnd() const { return m_rest.empty(); }

private:
    std::string_view m_rest;
};

}  // namespace

std::string EncodeMessage(const ControlMessage& message)
{
    CWriter out(static_cast<uint8_t>(message.kind));
    switch (message.kind) {
    case ControlKind::Job:
        out.I64(message.job.parentPid);
        out.Flag(message.job.dryRun);
        out.Flag(message.job.ask);
        out.I32(static_cast<int64_t>(message.job.ports.size()));
        for (const PortInfo& port : message.job.ports) {
            out.Bytes(port.name);
            out.Bytes(port.path);
        }
        break;
    case ControlKind::PortGranted:
    case ControlKind::PortRefused:
        out.I32(message.port);
        break;
    case ControlKind::Answer:
        out.Flag(message.yes);
        break;
    case ControlKind::Stop:
        break;
    }
    return out.Done();
}

bool DecodeMessage(std::string_view payload, ControlMessage& message)
{
    CReader in(payload);
    uint8_t kind = 0;
    if (!in.U8(kind))
        return false;
    message = ControlMessage();
    message.kind = static_cast<ControlKind>(kind);
    switch (message.kind) {
    case ControlKind::Job: {
        int count = 0;
        if (!in.I64(message.job.parentPid) || !in.Flag(message.job.dryRun) || !in.Flag(message.job.ask) ||
            !in.I32(count) || count < 0)
            return false;
        for (int i = 0; i < count; ++i) {
            PortInfo port;
            if (!in.Bytes(port.name) || !in.Bytes(port.path))
                return false;
            message.job.ports.push_back(std::move(port));
        }
        break;
    }
    case ControlKind::PortGranted:
    case ControlKind::PortRefused:
        if (!in.I32(message.port))
            return false;
        break;
    case ControlKind::Answer:
        if (!in.Flag(message.yes))
            return false;
        break;
    case ControlKind::Stop:
        break;
    default:
        return false;
    }
    return in.AtEnd();
}

std::string EncodeMessage(const DeviceEvent& event)
{
    CWriter out(static_cast<uint8_t>(event.kind));
    switch (event.kind) {
    case EventKind::Ready:
    case EventKind::TransferStarted:
    case EventKind::Alive:
        break;
    case EventKind::PortWanted:
    case EventKind::PortTried:
    case EventKind::Answered:
        out.I32(event.port);
        break;
    case EventKind::Attempt:
        out.I32(event.port);
        out.I32(event.status);
        break;
    case EventKind::Found:
        out.I32(event.port);
        out.Flag(event.compatible);
        out.Flag(event.haveVersion);
        out.Bytes(event.version1);
        out.Bytes(event.version2);
        out.Bytes(event.deviceIndex);
        break;
    case EventKind::Progress:
        out.I32(event.percent);
        out.I32(event.remainingSeconds);
        break;
    case EventKind::Result:
        out.I32(event.outcome);
        out.I32(event.port);
        out.I32(event.elapsedSeconds);
        break;
    }
    return out.Done();
}

bool DecodeMessage(std::string_view payload, DeviceEvent& event)
{
    CReader in(payload);
    uint8_t kind = 0;
    if (!in.U8(kind))
        return false;
    event = DeviceEvent();
    event.kind = static_cast<EventKind>(kind);
    bool good = true;
    switch (event.kind) {
    case EventKind::Ready:
    case EventKind::TransferStarted:
    case EventKind::Alive:
        break;
    case EventKind::PortWanted:
    case EventKind::PortTried:
    case EventKind::Answered:
        good = in.I32(event.port);
        break;
    case EventKind::Attempt:
        good = in.I32(event.port) && in.I32(event.status);
        break;
    case EventKind::Found:
        good = in.I32(event.port) && in.Flag(event.compatible) && in.Flag(event.haveVersion) &&
               in.Bytes(event.version1) && in.Bytes(event.version2) && in.Bytes(event.deviceIndex);
        break;
    case EventKind::Progress:
        good = in.I32(event.percent) && in.I32(event.remainingSeconds);
        break;
    case EventKind::Result:
        good = in.I32(event.outcome) && in.I32(event.port) && in.I32(event.elapsedSeconds);
        break;
    default:
        return false;
    }
    return good && in.AtEnd();
}

CFrameReader::Next CFrameReader::Take(std::string& payload)
{
    if (m_broken)
        return Next::Broken;
    const size_t held = m_buffer.size() - m_start;
    if (held < 4) {
        if (m_start > 0) {
            m_buffer.erase(0, m_start);
            m_start = 0;
        }
        return Next::None;
    }
    uint32_t length = 0;
    for (int i = 0; i < 4; ++i)
        length |= uint32_t{static_cast<unsigned char>(m_buffer[m_start + static_cast<size_t>(i)])} << (8 * i);
    if (length == 0 || length > DEVICE_MESSAGE_LIMIT) {
        m_broken = true;
        m_buffer.clear();
        m_start = 0;
        return Next::Broken;
    }
    if (held - 4 < length) {
        m_buffer.erase(0, m_start);
        m_start = 0;
        return Next::None;
    }
    payload.assign(m_buffer, m_start + 4, length);
    m_start += 4 + length;
    if (m_start == m_buffer.size()) {
        m_buffer.clear();
        m_start = 0;
    }
    return Next::Frame;
}
