#include "link/Reply.h"

#include "link/Frame.h"

#include <cstring>

CReplyAssembler::State CReplyAssembler::Add(const char* bytes, size_t count)
{
    if (m_state != Collecting || count == 0)
        return m_state;
    const void* nul = std::memchr(bytes, '\0', count);
    if (nul != nullptr)
        count = static_cast<size_t>(static_cast<const char*>(nul) - bytes);
    m_text.append(bytes, count);
    const size_t eot = m_text.find(FRAME_TERMINATOR);
    if (eot != std::string::npos && eot >= 1)
        m_state = Complete;
    else if (m_text.size() > MAX_REPLY_LENGTH)
        m_state = Overlong;
    return m_state;
}

void CReplyAssembler::Reset()
{
    m_text.clear();
    m_state = Collecting;
}

std::string_view CompleteReply(std::string_view text)
{
    const size_t eot = text.find(FRAME_TERMINATOR);
    if (eot == std::string_view::npos || eot == 0)
        return {};
    return text.substr(0, eot + 1);
}

uint8_t EvaluateReply(ReplyEnding ending, std::string_view text)
{
    switch (ending) {
    case ReplyEnding::NothingWritten:
        return TRANSACT_FAILED;
    case ReplyEnding::TimedOut:
        return TRANSACT_TIMEOUT;
    case ReplyEnding::Overlong:
        return TRANSACT_BAD_CHECKSUM;
    case ReplyEnding::Complete:
        break;
    }
    const CFrame frame(CompleteReply(text));
    if (!frame.HasValidChecksum())
        return TRANSACT_BAD_CHECKSUM;
    const std::string& reply = frame.GetText();
    const size_t separator = reply.find(FRAME_SEPARATOR);
    return static_cast<uint8_t>(separator == std::string::npos ? reply[0] : reply[separator + 1]);
}

std::string ReplyField(std::string_view text)
{
    const CFrame frame(CompleteReply(text));
    if (!frame.HasValidChecksum())
        return {};
    const std::string& reply = frame.GetText();
    const size_t first = reply.find(FRAME_SEPARATOR);
    if (first == std::string::npos)
        return {};
    const size_t second = reply.find(FRAME_SEPARATOR, first + 1);
    if (second == std::string::npos)
        return {};
    return reply.substr(first + 1, second - first - 1);
}
