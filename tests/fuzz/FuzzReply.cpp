// Fuzz target: a byte stream as the reads of one exchange deliver it,
// assembled into a reply and judged.
//
// Input: records of one length byte L and then L bytes (fewer at the end
// of the input), each record what one read returned; L = 0 is a read that
// returned nothing. A length byte cannot exceed REPLY_READ_SIZE (255), the
// most one read asks for.

#include "link/Frame.h"
#include "link/Reply.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CReplyAssembler reply;
    size_t pos = 0;
    while (pos < size) {
        const size_t announced = data[pos++];
        const size_t length = std::min(announced, size - pos);
        const char* bytes = reinterpret_cast<const char*>(data + pos);
        pos += length;

        const CReplyAssembler::State before = reply.GetState();
        const std::string text = reply.GetText();
        const CReplyAssembler::State after = reply.Add(bytes, length);
        if (before != CReplyAssembler::Collecting) {
            // A finished reply takes nothing more.
            Check(after == before && reply.GetText() == text);
            continue;
        }
        // The read adds its bytes up to the first NUL, nothing else.
        const size_t taken = strnlen(bytes, length);
        Check(reply.GetText().size() == text.size() + taken);
        Check(reply.GetText().compare(0, text.size(), text) == 0);
        Check(std::memcmp(reply.GetText().data() + text.size(), bytes, taken) == 0);
    }

    const std::string& text = reply.GetText();
    const size_t eot = text.find(FRAME_TERMINATOR);
    const bool hasEot = eot != std::string::npos && eot >= 1;
    Check(text.find('\0') == std::string::npos);
    Check(text.size() <= MAX_REPLY_LENGTH + REPLY_READ_SIZE);
    switch (reply.GetState()) {
    case CReplyAssembler::Collecting:
        Check(!hasEot && text.size() <= MAX_REPLY_LENGTH);
        break;
    case CReplyAssembler::Overlong:
        Check(!hasEot && text.size() > MAX_REPLY_LENGTH);
        break;
    case CReplyAssembler::Complete:
        Check(hasEot);
        break;
    }

    Check(EvaluateReply(ReplyEnding::NothingWritten, text) == TRANSACT_FAILED);
    Check(EvaluateReply(ReplyEnding::TimedOut, text) == TRANSACT_TIMEOUT);
    Check(EvaluateReply(ReplyEnding::Overlong, text) == TRANSACT_BAD_CHECKSUM);

    const std::string_view complete = CompleteReply(text);
    Check(complete.empty() == !hasEot);
    const uint8_t status = EvaluateReply(ReplyEnding::Complete, text);
    const std::string field = ReplyField(text);
    const CFrame frame(complete);
    if (!frame.HasValidChecksum()) {
        Check(status == TRANSACT_BAD_CHECKSUM && field.empty());
        return 0;
    }
    // A reply that passed is its body with the checksum made again.
    CFrame body(complete.substr(0, complete.size() - 3));
    Check(body.AppendChecksum() == complete);
    const size_t separator = complete.find(FRAME_SEPARATOR);
    Check(status == static_cast<uint8_t>(separator == std::string_view::npos ? complete[0]
                                                                             : complete[separator + 1]));
    Check(field.find(FRAME_SEPARATOR) == std::string::npos);
    Check(field.find(FRAME_TERMINATOR) == std::string::npos);
    if (!field.empty())
        Check(complete.substr(separator + 1, field.size() + 1) == field + FRAME_SEPARATOR);
    return 0;
}
