#include "link/Frame.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace {

std::string Complete(const std::string& body)
{
    CFrame frame;
    frame.SetText(body);
    return frame.AppendChecksum();
}

}  // namespace

TEST(Frame, RequestFramesAreExactToTheByte)
{
    EXPECT_EQ(Complete("ASP|"), "\x41\x53\x50\x7C\x36\x30\x04"s);
    EXPECT_EQ(Complete("PSD|"), "\x50\x53\x44\x7C\x36\x33\x04"s);
    EXPECT_EQ(Complete("EAE|"), "\x45\x41\x45\x7C\x34\x37\x04"s);
    EXPECT_EQ(Complete("RST|"), "\x52\x53\x54\x7C\x37\x35\x04"s);
    EXPECT_EQ(Complete("DPZ|"), "\x44\x50\x5A\x7C\x36\x41\x04"s);
}

TEST(Frame, ChecksumIsAlwaysTwoUpperCaseDigits)
{
    EXPECT_EQ(Complete("\x05\x05"), "\x05\x05" "0A\x04"s);   // sum 0x0A
    EXPECT_EQ(Complete("dd"), "ddC8\x04"s);                  // sum 0xC8
    EXPECT_EQ(Complete(""), "00\x04"s);
    EXPECT_EQ(Complete("\xFF\xFF"), "\xFF\xFF" "FE\x04"s);  // wraps at 256
}

TEST(Frame, AppendThenCheckRoundTripsWithAnyBytes)
{
    const std::string body = "A\0B\x80\xFE|x|"s;
    CFrame frame(body);
    const std::string complete = frame.AppendChecksum();
    EXPECT_EQ(complete.size(), body.size() + 3);
    EXPECT_EQ(complete.substr(0, body.size()), body);
    EXPECT_TRUE(CFrame(complete).HasValidChecksum());
}

TEST(Frame, ChecksumTest)
{
    EXPECT_TRUE(CFrame("abc26\x04").HasValidChecksum());
    EXPECT_TRUE(CFrame("abc26?").HasValidChecksum());  // the terminator is not examined
    EXPECT_FALSE(CFrame("abc26").HasValidChecksum());
    EXPECT_FALSE(CFrame("abc27\x04").HasValidChecksum());
    EXPECT_FALSE(CFrame("").HasValidChecksum());
    EXPECT_FALSE(CFrame("00\x04").HasValidChecksum());
    EXPECT_FALSE(CFrame("\x00" "0\x04"s).HasValidChecksum());
    EXPECT_TRUE(CFrame("030\x04").HasValidChecksum());  // "0" sums to 0x30
    // Lower-case letter digits do not match.
    EXPECT_TRUE(CFrame("DPZ|6A\x04").HasValidChecksum());
    EXPECT_FALSE(CFrame("DPZ|6a\x04").HasValidChecksum());
}

TEST(Frame, HexReadingIsLenient)
{
    EXPECT_EQ(CFrame::HexValue("1a2B"), 0x1A2B);
    EXPECT_EQ(CFrame::HexValue("FF"), 255);
    EXPECT_EQ(CFrame::HexValue(""), 0);
    EXPECT_EQ(CFrame::HexDigitValue('0'), 0);
    EXPECT_EQ(CFrame::HexDigitValue('9'), 9);
    EXPECT_EQ(CFrame::HexDigitValue('a'), 10);
    EXPECT_EQ(CFrame::HexDigitValue('F'), 15);
    EXPECT_EQ(CFrame::HexDigitValue('G'), 16);  // low four bits plus 9
    EXPECT_EQ(CFrame::HexDigitValue('|'), 21);
    EXPECT_EQ(CFrame::HexDigitValue('\xFF'), 24);
    // A non-digit's high bit spills into the next digit's place.
    EXPECT_EQ(CFrame::HexValue("G0"), 0x100);
    // Long texts shift bits out instead of overflowing.
    EXPECT_EQ(CFrame::HexValue("123456789"), 0x23456789);
}

TEST(Frame, BlockMarker)
{
    EXPECT_TRUE(CFrame("FWXXX|01|00\x04").IsBlockMarker());
    EXPECT_TRUE(CFrame("xxx|").IsBlockMarker());
    EXPECT_TRUE(CFrame("AXXX|").IsBlockMarker());
    EXPECT_FALSE(CFrame("XxX|").IsBlockMarker());
    EXPECT_FALSE(CFrame("XX|").IsBlockMarker());
    EXPECT_FALSE(CFrame("|XXX|").IsBlockMarker());
    EXPECT_FALSE(CFrame("XXX").IsBlockMarker());        // no separator
    EXPECT_FALSE(CFrame("AB|XXX|").IsBlockMarker());    // only field 0 counts
}

TEST(Frame, FirstFieldTail)
{
    EXPECT_EQ(CFrame("ABCDE|1|").GetFirstFieldTail(), "CDE");
    EXPECT_EQ(CFrame("AB|").GetFirstFieldTail(), "");
    EXPECT_EQ(CFrame("A|").GetFirstFieldTail(), "");
    EXPECT_EQ(CFrame("|A|").GetFirstFieldTail(), "");
    EXPECT_EQ(CFrame("ABCDE").GetFirstFieldTail(), "");
}

TEST(Frame, DataLineFields)
{
    const CFrame plain("FWDL|00|03|1A2B|0102FF|C4\x04");
    EXPECT_EQ(plain.GetAddress(false), 0x1A2B);
    EXPECT_EQ(plain.GetDataText(false), "0102FF");
    EXPECT_EQ(plain.GetDataLength(false), 3);
    EXPECT_EQ(plain.GetDataSum(false), 0x102);

    const CFrame start("FWBS|00|02|0006|F000|0102|00\x04");
    EXPECT_EQ(start.GetBlockSum(), 6);
    EXPECT_EQ(start.GetAddress(true), 0xF000);
    EXPECT_EQ(start.GetDataText(true), "0102");
    EXPECT_EQ(start.GetDataLength(true), 2);
    EXPECT_EQ(start.GetDataSum(true), 3);

    // Only the first four characters after the third separator are the block sum.
    EXPECT_EQ(CFrame("A|B|C|12345|").GetBlockSum(), 0x1234);
    // Addresses are read modulo 65536.
    EXPECT_EQ(CFrame("A|B|C|12345|00|").GetAddress(false), 0x2345);
    // An odd last character counts as one digit; the length rounds down.
    EXPECT_EQ(CFrame("A|B|C|0|01F|").GetDataSum(false), 0x10);
    EXPECT_EQ(CFrame("A|B|C|0|01F|").GetDataLength(false), 1);
}

TEST(Frame, DataSumWrapsAt65536)
{
    std::string data;
    for (int i = 0; i < 300; ++i)
        data += "FF";
    const CFrame frame("A|B|C|0000|" + data + "|");
    EXPECT_EQ(frame.GetDataSum(false), 76500 % 65536);
    EXPECT_EQ(frame.GetDataLength(false), 300);
}

TEST(Frame, AccessorsOnShortFramesAreSafe)
{
    for (const char* text : {"", "|", "||", "A|B", "A|B|C", "A|B|C|", "A|B|C|00", "A|B|C|00|11",
                             "A|B|C|00|11|22", "\x04", "||||||||"}) {
        const CFrame frame(text);
        SCOPED_TRACE(text);
        for (bool blockStart : {false, true}) {
            EXPECT_EQ(frame.GetDataText(blockStart).size() / 2, static_cast<size_t>(frame.GetDataLength(blockStart)));
            (void)frame.GetAddress(blockStart);
            (void)frame.GetDataSum(blockStart);
        }
        (void)frame.GetBlockSum();
        (void)frame.IsBlockMarker();
        (void)frame.GetFirstFieldTail();
    }
    // A field without its closing separator reads as empty.
    EXPECT_EQ(CFrame("A|B|C|0010|0102").GetDataText(false), "");
    EXPECT_EQ(CFrame("A|B|C|0010|0102").GetDataSum(false), 0);
    EXPECT_EQ(CFrame("A|B|C|0010").GetAddress(false), 0);
    EXPECT_EQ(CFrame("A|B").GetBlockSum(), 0);
    EXPECT_EQ(CFrame("A|B|C|1").GetBlockSum(), 1);
}
