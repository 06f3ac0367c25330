// Files written by the firmware-file maker, read back through CFirmwareFile.

#include "TempFile.h"

#include "FirmwareMaker.h"
#include "firmware/FirmwareFile.h"
#include "link/Frame.h"

#include <gtest/gtest.h>

#include <cctype>

namespace {

struct Walk {
    int lines = 0;
    int badLines = 0;
    int firstBadLine = 0;
    int badBlocks = 0;
    int overlong = 0;
    int64_t dataBytes = 0;
    std::vector<uint8_t> record;  // bytes found 0x1000 above the first block's start
};

// Reads the data section line by line the way the tool consumes it.
Walk WalkData(CFirmwareFile& file)
{
    Walk w;
    file.SeekToData();
    std::string line;
    bool blockStart = true;
    bool firstBlock = true;
    unsigned sum = 0;
    int32_t blockSum = 0;
    uint16_t target = 0;
    while (file.ReadLine(line)) {
        ++w.lines;
        if (file.LastLineTooLong())
            ++w.overlong;
        const CFrame frame(line);
        if (!frame.HasValidChecksum()) {
            ++w.badLines;
            if (!w.firstBadLine)
                w.firstBadLine = w.lines;
            continue;
        }
        if (frame.IsBlockMarker()) {
            if ((sum & 0xFFFF) != static_cast<unsigned>(blockSum & 0xFFFF))
                ++w.badBlocks;
            sum = 0;
            blockStart = true;
            firstBlock = false;
            continue;
        }
        if (blockStart) {
            blockSum = frame.GetBlockSum();
            if (firstBlock)
                target = static_cast<uint16_t>(frame.GetAddress(true) + VERSION_RECORD_OFFSET);
        }
        const uint16_t address = frame.GetAddress(blockStart);
        const std::string data = frame.GetDataText(blockStart);
        for (int i = 0; i < frame.GetDataLength(blockStart); ++i) {
            const auto at = static_cast<uint16_t>(address + i);
            if (firstBlock && static_cast<uint16_t>(at - target) < VERSION_RECORD_SIZE)
                w.record.push_back(static_cast<uint8_t>(CFrame::HexValue(data.substr(static_cast<size_t>(2 * i), 2))));
        }
        sum += frame.GetDataSum(blockStart);
        w.dataBytes += frame.GetDataLength(blockStart);
        blockStart = false;
    }
    return w;
}

class MakerTest : public ::testing::Test {
protected:
    Walk Make(const MakerOptions& options, MakerResult* out = nullptr)
    {
        const MakerResult result = MakeFirmwareFile(options);
        EXPECT_EQ(result.error, "");
        if (out)
            *out = result;
        const std::string path = m_dir.Write("m.cvf", result.bytes);
        EXPECT_TRUE(m_file.Open(path.c_str()));
        return WalkData(m_file);
    }

    TempDir m_dir;
    CFirmwareFile m_file;
};

}  // namespace

TEST_F(MakerTest, SampleFileReadsBackWhole)
{
    MakerResult made;
    const Walk w = Make(MakerOptions{}, &made);
    EXPECT_EQ(m_file.GetIndex(), "CVF-DEMO-0001");
    EXPECT_EQ(m_file.GetDevice(), "Demo Controller");
    EXPECT_EQ(m_file.GetDataSize(),
              static_cast<int32_t>(made.bytes.size() - made.bytes.find("[DATA]") - 8));
    EXPECT_EQ(w.lines, made.dataLines);
    EXPECT_EQ(w.badLines, 0);
    EXPECT_EQ(w.badBlocks, 0);
    EXPECT_EQ(w.overlong, 0);
    EXPECT_EQ(w.dataBytes, 3 * 8192);
    EXPECT_EQ(made.dataBytes, w.dataBytes);
    const std::string record(w.record.begin(), w.record.end());
    EXPECT_EQ(record, std::string("V2.4.1\0" "2026-11", 14) + std::string(18, '\0'));
}

TEST_F(MakerTest, LayoutOptions)
{
    MakerOptions o;
    o.index = "IDX 9";
    o.device = "Pump";
    o.version1 = "ABC";
    o.version2 = "1234567890123456789012345678";  // fills the record without a closing NUL
    o.lineBytes = 7;
    o.blockBytes = 0x1100;
    o.blocks = 2;
    o.startAddress = 0xF800;  // the version record lies past the 16-bit wrap
    o.finalMarker = false;
    MakerResult made;
    const Walk w = Make(o, &made);
    EXPECT_EQ(m_file.GetIndex(), "IDX 9");
    EXPECT_EQ(m_file.GetDevice(), "Pump");
    EXPECT_EQ(w.badLines, 0);
    EXPECT_EQ(w.badBlocks, 0);
    EXPECT_EQ(w.dataBytes, 2 * 0x1100);
    EXPECT_EQ(made.dataLines, 2 * ((0x1100 + 6) / 7) + 1);  // one marker between the blocks
    EXPECT_EQ(std::string(w.record.begin(), w.record.end()), std::string("ABC\0", 4) + o.version2);
}

TEST_F(MakerTest, ImageContentIsWrittenAsGiven)
{
    MakerOptions o;
    o.writeVersion = false;
    o.blockBytes = 5;
    o.lineBytes = 2;
    o.image = {0x01, 0x02, 0x03, 0xFF, 0x00, 0x10};
    MakerResult made;
    const Walk w = Make(o, &made);
    EXPECT_EQ(w.dataBytes, 6);
    EXPECT_EQ(w.badBlocks, 0);
    EXPECT_NE(made.bytes.find("FWBS|00|02|0105|0000|0102|"), std::string::npos);
    EXPECT_NE(made.bytes.find("FWDL|00|02|0002|03FF|"), std::string::npos);
    EXPECT_NE(made.bytes.find("FWBS|01|01|0010|0005|10|"), std::string::npos);
}

TEST_F(MakerTest, OptionsThatCannotBeMetAreRefused)
{
    MakerOptions o;
    o.blockBytes = 0x1000;  // too small for the version record
    EXPECT_NE(MakeFirmwareFile(o).error, "");
    o = MakerOptions{};
    o.lineBytes = 129;
    EXPECT_NE(MakeFirmwareFile(o).error, "");
    o = MakerOptions{};
    o.version2 = std::string(40, 'v');
    EXPECT_NE(MakeFirmwareFile(o).error, "");
}

TEST_F(MakerTest, DeliberateFaults)
{
    MakerOptions o;
    o.blocks = 2;
    o.badChecksumLine = 10;
    Walk w = Make(o);
    EXPECT_EQ(w.badLines, 1);
    EXPECT_EQ(w.firstBadLine, 10);

    o = MakerOptions{};
    o.badBlockSum = 2;
    w = Make(o);
    EXPECT_EQ(w.badLines, 0);
    EXPECT_EQ(w.badBlocks, 1);

    o = MakerOptions{};
    o.lowercaseChecksumLine = -1;  // the last line, a marker
    MakerResult made;
    w = Make(o, &made);
    EXPECT_EQ(w.badLines, 1);
    EXPECT_EQ(w.firstBadLine, made.dataLines);
    const std::string last = made.bytes.substr(made.bytes.rfind('|') + 1, 2);
    EXPECT_TRUE(std::islower(static_cast<unsigned char>(last[0])) ||
                std::islower(static_cast<unsigned char>(last[1])));
    // With the digit in upper case the line would be good again.
    std::string fixed = made.bytes;
    for (size_t i = fixed.rfind('|') + 1; i < fixed.size(); ++i)
        fixed[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(fixed[i])));
    ASSERT_TRUE(m_file.Open(m_dir.Write("fixed.cvf", fixed).c_str()));
    EXPECT_EQ(WalkData(m_file).badLines, 0);

    o = MakerOptions{};
    o.lfOnly = true;
    Make(o);
    // Every line after the first loses its first character: the keys and
    // the section line are no longer found.
    EXPECT_EQ(m_file.FindText("[PSDINDEX]"), 0);
    EXPECT_EQ(m_file.GetIndex(), "");
    EXPECT_EQ(m_file.FindText("[DATA]"), -1);

    o = MakerOptions{};
    o.blankLineAtEnd = true;
    w = Make(o, &made);
    EXPECT_EQ(w.lines, made.dataLines + 1);
    EXPECT_EQ(w.badLines, 1);
    EXPECT_EQ(w.firstBadLine, made.dataLines + 1);

    o = MakerOptions{};
    o.overlongLine = 3;
    w = Make(o, &made);
    EXPECT_EQ(w.overlong, 1);
    EXPECT_EQ(w.lines, made.dataLines);
}
