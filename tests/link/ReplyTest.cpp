// Reply assembly from the pieces reads deliver, and the result byte and
// field taken from it.

#include "link/Reply.h"

#include "link/Frame.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

namespace {

// body + checksum + EOT
std::string Framed(const std::string& body)
{
    CFrame frame(body);
    return frame.AppendChecksum();
}

CReplyAssembler::State Feed(CReplyAssembler& reply, const std::string& bytes)
{
    return reply.Add(bytes.data(), bytes.size());
}

// Feeds the pieces in turn and returns the state after the last one.
CReplyAssembler::State FeedAll(CReplyAssembler& reply, const std::vector<std::string>& pieces)
{
    CReplyAssembler::State state = reply.GetState();
    for (const std::string& piece : pieces)
        state = Feed(reply, piece);
    return state;
}

TEST(ReplyAssembler, CompletesAtTheFirstEotWhateverThePieces)
{
    const std::string frame = Framed("DEV|A|");
    const std::string stream = frame + "DEV|2|xx\x04";

    // One byte per read: complete with the EOT byte, not before.
    CReplyAssembler bytewise;
    for (size_t i = 0; i + 1 < frame.size(); ++i)
        ASSERT_EQ(bytewise.Add(&frame[i], 1), CReplyAssembler::Collecting) << i;
    EXPECT_EQ(bytewise.Add(&frame.back(), 1), CReplyAssembler::Complete);
    EXPECT_EQ(bytewise.GetText(), frame);

    // Everything in one read: what follows the EOT is in the text but not
    // in the reply.
    CReplyAssembler whole;
    EXPECT_EQ(Feed(whole, stream), CReplyAssembler::Complete);
    EXPECT_EQ(whole.GetText(), stream);
    EXPECT_EQ(CompleteReply(whole.GetText()), frame);

    // A finished reply takes nothing more, and Reset starts afresh.
    EXPECT_EQ(Feed(whole, "more\x04"), CReplyAssembler::Complete);
    EXPECT_EQ(whole.GetText(), stream);
    whole.Reset();
    EXPECT_EQ(whole.GetState(), CReplyAssembler::Collecting);
    EXPECT_EQ(whole.GetText(), "");

    // A read that returned nothing changes nothing.
    CReplyAssembler empty;
    EXPECT_EQ(empty.Add(stream.data(), 0), CReplyAssembler::Collecting);
    EXPECT_EQ(empty.GetText(), "");
}

TEST(ReplyAssembler, NulEndsWhatOneReadAdds)
{
    CReplyAssembler reply;
    const std::string first("DE\0junk\x04", 8);
    EXPECT_EQ(Feed(reply, first), CReplyAssembler::Collecting);  // the EOT behind the NUL is not taken
    EXPECT_EQ(Feed(reply, std::string("\0ignored", 8)), CReplyAssembler::Collecting);
    EXPECT_EQ(Feed(reply, "V|A|"), CReplyAssembler::Collecting);
    EXPECT_EQ(Feed(reply, Framed("DEV|A|").substr(6)), CReplyAssembler::Complete);
    EXPECT_EQ(reply.GetText(), Framed("DEV|A|"));
    EXPECT_EQ(EvaluateReply(ReplyEnding::Complete, reply.GetText()), 'A');
}

TEST(ReplyAssembler, LeadingEotNeverCompletesAndTheTextEndsOverlong)
{
    CReplyAssembler reply;
    // A stray EOT first: the later complete frame does not count, since only
    // the first EOT of the text is looked at.
    EXPECT_EQ(FeedAll(reply, {"\x04", Framed("DEV|0|")}), CReplyAssembler::Collecting);
    EXPECT_EQ(CompleteReply(reply.GetText()), "");

    // Up to MAX_REPLY_LENGTH bytes it keeps collecting; one more is too long.
    CReplyAssembler stream;
    const std::string chunk(REPLY_READ_SIZE, 'U');
    size_t total = 0;
    while (total + chunk.size() <= MAX_REPLY_LENGTH) {
        ASSERT_EQ(Feed(stream, chunk), CReplyAssembler::Collecting);
        total += chunk.size();
    }
    ASSERT_EQ(Feed(stream, std::string(MAX_REPLY_LENGTH - total, 'U')), CReplyAssembler::Collecting);
    EXPECT_EQ(Feed(stream, "U"), CReplyAssembler::Overlong);
    EXPECT_EQ(stream.GetText().size(), MAX_REPLY_LENGTH + 1);

    // An EOT in the read that crosses the limit still completes the reply.
    CReplyAssembler late;
    ASSERT_EQ(Feed(late, std::string(MAX_REPLY_LENGTH, 'U')), CReplyAssembler::Collecting);
    EXPECT_EQ(Feed(late, "U\x04"), CReplyAssembler::Complete);
    EXPECT_EQ(EvaluateReply(ReplyEnding::Complete, late.GetText()), TRANSACT_BAD_CHECKSUM);
}

TEST(ReplyResult, EndingsAndStatusCharacters)
{
    const std::string accepted = Framed("DEV|A|");
    EXPECT_EQ(EvaluateReply(ReplyEnding::NothingWritten, accepted), TRANSACT_FAILED);
    EXPECT_EQ(EvaluateReply(ReplyEnding::TimedOut, accepted), TRANSACT_TIMEOUT);
    EXPECT_EQ(EvaluateReply(ReplyEnding::Overlong, accepted), TRANSACT_BAD_CHECKSUM);

    EXPECT_EQ(EvaluateReply(ReplyEnding::Complete, accepted), 'A');
    EXPECT_EQ(EvaluateReply(ReplyEnding::Complete, Framed("x|A")), 'A');
    EXPECT_EQ(EvaluateReply(ReplyEnding::Complete, Framed("DEV|\xCF|")), 0xCF);
    EXPECT_EQ(EvaluateReply(ReplyEnding::Complete, Framed("3")), '3');  // no separator: first character
    // Bytes after the EOT take no part in the checksum.
    EXPECT_EQ(EvaluateReply(ReplyEnding::Complete, accepted + "DEV|2|00\x04"), 'A');

    std::string wrong = accepted;
    wrong[wrong.size() - 2] = wrong[wrong.size() - 2] == '0' ? '1' : '0';
    EXPECT_EQ(EvaluateReply(ReplyEnding::Complete, wrong), TRANSACT_BAD_CHECKSUM);
    std::string lower = Framed("DEV|::");  // checksum with a letter digit
    ASSERT_TRUE(lower[lower.size() - 3] >= 'A' || lower[lower.size() - 2] >= 'A') << lower;
    for (size_t i = lower.size() - 3; i < lower.size() - 1; ++i)
        lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower[i])));
    EXPECT_EQ(EvaluateReply(ReplyEnding::Complete, lower), TRANSACT_BAD_CHECKSUM);
    EXPECT_EQ(EvaluateReply(ReplyEnding::Complete, "00\x04"), TRANSACT_BAD_CHECKSUM);  // too short
}

TEST(ReplyResult, FieldOne)
{
    EXPECT_EQ(ReplyField(Framed("DEV|CVF-DEMO-0001|")), "CVF-DEMO-0001");
    EXPECT_EQ(ReplyField(Framed("DEV|V1|more|")), "V1");
    EXPECT_EQ(ReplyField(Framed("DEV||")), "");
    EXPECT_EQ(ReplyField(Framed("DEV|V1")), "");  // no second separator
    EXPECT_EQ(ReplyField(Framed("DEV")), "");
    EXPECT_EQ(ReplyField(Framed("DEV|\xFF|")), "\xFF");

    std::string bad = Framed("DEV|V1|");
    bad[bad.size() - 2] = bad[bad.size() - 2] == '0' ? '1' : '0';
    EXPECT_EQ(ReplyField(bad), "");
    EXPECT_EQ(ReplyField("DEV|V1|"), "");  // never completed
    EXPECT_EQ(ReplyField("\x04" + Framed("DEV|V1|")), "");
}

}  // namespace
