#pragma once
// When the simulated device's bytes go out. The line carries one thing
// after another; paced, a piece arrives whole when its last byte would
// have arrived over a 57600-baud line (10 bits a byte), unpaced at once.
// Also the pace of the endless stream of the stream fault.

#include "Faults.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

class CReplyPacer {
public:
    using Clock = std::chrono::steady_clock;

    struct Piece {
        Clock::time_point due;
        std::string bytes;
        uint64_t replyId = 0;  // set on the last piece of a reply to a stored line
    };

    CReplyPacer(bool paced, Clock::time_point start) : m_paced(paced), m_lineFreeAt(start) {}

    // The time one byte takes on the line.
    static Clock::duration ByteTime();

    // When a frame of size bytes whose first byte came at firstByte has
    // arrived whole; never before now.
    Clock::time_point FrameArrived(Clock::time_point firstByte, size_t size, Clock::time_point now) const;

    // Queues a reply that is ready to go at ready, as its delivery says:
    // a lead 2 ms before the reply's bytes, and those in one piece or one
    // byte at a time (at least 1 ms apart).
    void Queue(const Delivery& delivery, Clock::time_point ready, uint64_t replyId);

    // The next piece due at or before now, taken off the queue.
    bool TakeDue(Clock::time_point now, Piece& piece);
    // When the next piece or stream chunk is due; Clock::time_point::max()
    // when nothing is.
    Clock::time_point NextDue() const;

    // The stream fault: chunks of 'U' from at on, until StopStream.
    void StartStream(Clock::time_point at);
    void StopStream() { m_streaming = false; }
    // The chunk due by now, or empty. Tell ChunkWritten how it went.
    std::string StreamChunk(Clock::time_point now) const;
    // written: the chunk went out; otherwise nobody reads (try again
    // later) when wouldBlock, or the stream ends.
    void ChunkWritten(Clock::time_point now, bool written, bool wouldBlock);

private:
    void Schedule(Clock::time_point start, const std::string& bytes, uint64_t replyId);

    bool m_paced;
    std::deque<Piece> m_pending;
    Clock::time_point m_lineFreeAt;
    bool m_streaming = false;
    Clock::time_point m_streamDue;
};
