#include "Pacing.h"

#include <algorithm>

namespace {

using namespace std::chrono_literals;

constexpr auto kBytewiseGap = 1ms;  // least gap between bytes of a bytewise reply
constexpr auto kLeadTime = 2ms;     // garbage and stray EOT go this much before the reply
constexpr size_t kStreamChunkPaced = 64;
constexpr size_t kStreamChunkFast = 256;
constexpr auto kStreamFastInterval = 1ms;
constexpr auto kStreamBackoff = 50ms;  // nobody reads: try again after this
constexpr unsigned kBitsPerByte = 10;  // start bit, 8 data bits, stop bit
constexpr unsigned kBaudRate = 57600;

}  // namespace

CReplyPacer::Clock::duration CReplyPacer::ByteTime()
{
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(1000000000ull * kBitsPerByte / kBaudRate));
}

CReplyPacer::Clock::time_point CReplyPacer::FrameArrived(Clock::time_point firstByte, size_t size,
                                                         Clock::time_point now) const
{
    if (!m_paced)
        return now;
    return std::max(now, firstByte + ByteTime() * static_cast<long>(size));
}

void CReplyPacer::Queue(const Delivery& delivery, Clock::time_point ready, uint64_t replyId)
{
    if (!delivery.lead.empty()) {
        Schedule(ready, delivery.lead, 0);
        ready += kLeadTime;
    }
    if (!delivery.bytewise) {
        Schedule(ready, delivery.bytes, replyId);
        return;
    }
    const Clock::duration gap =
        std::max<Clock::duration>(m_paced ? ByteTime() : Clock::duration::zero(), kBytewiseGap);
    Clock::time_point at = std::max(ready, m_lineFreeAt);
    for (size_t i = 0; i < delivery.bytes.size(); ++i) {
        at += gap;
        m_pending.push_back({at, std::string(1, delivery.bytes[i]),
                             i + 1 == delivery.bytes.size() ? replyId : 0});
    }
    m_lineFreeAt = at;
}

void CReplyPacer::Schedule(Clock::time_point start, const std::string& bytes, uint64_t replyId)
{
    Clock::time_point due = std::max(start, m_lineFreeAt);
    if (m_paced)
        due += ByteTime() * static_cast<long>(bytes.size());
    m_lineFreeAt = due;
    m_pending.push_back({due, bytes, replyId});
}

bool CReplyPacer::TakeDue(Clock::time_point now, Piece& piece)
{
    if (m_pending.empty() || m_pending.front().due > now)
        return false;
    piece = std::move(m_pending.front());
    m_pending.pop_front();
    return true;
}

CReplyPacer::Clock::time_point CReplyPacer::NextDue() const
{
    Clock::time_point wake = Clock::time_point::max();
    if (!m_pending.empty())
        wake = m_pending.front().due;
    if (m_streaming)
        wake = std::min(wake, m_streamDue);
    return wake;
}

void CReplyPacer::StartStream(Clock::time_point at)
{
    m_streaming = true;
    m_streamDue = at;
}

std::string CReplyPacer::StreamChunk(Clock::time_point now) const
{
    if (!m_streaming || now < m_streamDue)
        return {};
    return std::string(m_paced ? kStreamChunkPaced : kStreamChunkFast, 'U');
}

void CReplyPacer::ChunkWritten(Clock::time_point now, bool written, bool wouldBlock)
{
    if (written) {
        m_streamDue = now + (m_paced ? ByteTime() * static_cast<long>(kStreamChunkPaced)
                                     : Clock::duration(kStreamFastInterval));
    } else if (wouldBlock) {
        m_streamDue = now + kStreamBackoff;
    } else {
        m_streaming = false;
    }
}
