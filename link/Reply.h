#pragma once
// A device reply as the reads of one exchange deliver it: the pieces are
// collected until the reply is complete (EOT at index 1 or later) or has
// grown too long, and the result is judged as a result byte or field 1.
// No port and no clock here, so every byte stream can be tried.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Result of an exchange: one of these, or the status character of the
// device's reply.
inline constexpr uint8_t TRANSACT_FAILED = 0;         // port did not open, nothing written, port error
inline constexpr uint8_t TRANSACT_TIMEOUT = 1;        // no complete reply in time
inline constexpr uint8_t TRANSACT_BAD_CHECKSUM = 16;  // complete reply with a bad checksum

// Reply limits.
inline constexpr size_t REPLY_READ_SIZE = 255;    // bytes asked for per read
inline constexpr size_t MAX_REPLY_LENGTH = 4096;  // a longer reply without EOT is a bad reply

// How an exchange ended.
enum class ReplyEnding { NothingWritten, TimedOut, Complete, Overlong };

class CReplyAssembler {
public:
    enum State { Collecting, Complete, Overlong };

    // Adds what one read returned. The bytes are taken as a zero-terminated
    // text: a NUL ends what this read adds. Complete as soon as the text
    // holds an EOT at index 1 or later (only its first EOT counts, so one
    // at index 0 never completes it); Overlong when it has grown past
    // MAX_REPLY_LENGTH without. A finished reply takes nothing more.
    State Add(const char* bytes, size_t count);
    State GetState() const { return m_state; }
    // Everything taken so far, bytes after the EOT included.
    const std::string& GetText() const { return m_text; }
    void Reset();

private:
    std::string m_text;
    State m_state = Collecting;
};

// The reply up to and including its first EOT, when that EOT stands at
// index 1 or later; empty otherwise.
std::string_view CompleteReply(std::string_view text);

// The result byte of an exchange that ended so with this text:
// TRANSACT_FAILED when nothing was written, TRANSACT_TIMEOUT without a
// complete reply, TRANSACT_BAD_CHECKSUM for an overlong reply or a bad
// checksum, otherwise the status character (the one after the first "|",
// or the first character when there is none).
uint8_t EvaluateReply(ReplyEnding ending, std::string_view text);

// Field 1 (between the first and second "|") of a complete reply with a
// valid checksum; empty otherwise.
std::string ReplyField(std::string_view text);
