// Files written by the firmware-file maker, read back through CFirmwareFile.

#include "DeviceRecords.h"

#include "FirmwareMaker.h"
#include "firmware/FirmwareFile.h"
#include "firmware/FirmwareLoader.h"
#include "link/Frame.h"

#include <gtest/gtest.h>

#include <cctype>
#include <vector>

namespace {

// The bytes of the collected version record.
std::string RecordBytes(const LoadResult& result)
{
    std::string bytes;
    for (size_t i = 0; i < result.versionText.size(); i += 2)
        bytes += static_cast<char>(HexPairValue(result.versionText.substr(i, 2)));
    return bytes;
}

// The data section's lines as written, without their line ends.
std::vector<std::string> DataLines(const std::string& bytes)
{
    std::vector<std::string> lines;
    size_t at = bytes.find("[DATA]\r\n") + 8;
    for (size_t end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(bytes.substr(at, end - at));
    return lines;
}

class MakerTest : public ::testing::Test {
protected:
    LoadResult Make(const MakerOptions& options, MakerResult* out = nullptr)
    {
        const MakerResult result = MakeFirmwareFile(options);
        EXPECT_EQ(result.error, "");
        if (out)
            *out = result;
        const std::string path = m_dir.Write("m.cvf", result.bytes);
        EXPECT_TRUE(m_file.Open(path.c_str()));
        return LoadFirmwareData(m_file);
    }

    CTempDir m_dir;
    CFirmwareFile m_file;
};

}  // namespace

TEST_F(MakerTest, SampleFileReadsBackWhole)
{
    MakerResult made;
    const LoadResult r = Make(MakerOptions{}, &made);
    EXPECT_EQ(m_file.GetIndex(), "CVF-DEMO-0001");
    EXPECT_EQ(m_file.GetDevice(), "Demo Controller");
    EXPECT_EQ(m_file.GetDataSize(),
              static_cast<int32_t>(made.bytes.size() - made.bytes.find("[DATA]") - 8));
    EXPECT_TRUE(r.Good());
    EXPECT_EQ(r.lines, made.dataLines);
    EXPECT_EQ(r.markers, made.blocks);
    EXPECT_EQ(r.totalBytes, 3 * 8192);
    EXPECT_EQ(made.dataBytes, r.totalBytes);
    EXPECT_EQ(RecordBytes(r), std::string("V2.4.1\0" "2026-11", 14) + std::string(18, '\0'));
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
    const LoadResult r = Make(o, &made);
    EXPECT_EQ(m_file.GetIndex(), "IDX 9");
    EXPECT_EQ(m_file.GetDevice(), "Pump");
    EXPECT_TRUE(r.Good());
    EXPECT_EQ(r.totalBytes, 2 * 0x1100);
    EXPECT_EQ(made.dataLines, 2 * ((0x1100 + 6) / 7) + 1);  // one marker between the blocks
    EXPECT_EQ(r.markers, 1);
    EXPECT_EQ(RecordBytes(r), std::string("ABC\0", 4) + o.version2);
}

TEST_F(MakerTest, ImageContentIsWrittenAsGiven)
{
    MakerOptions o;
    o.writeVersion = false;
    o.blockBytes = 5;
    o.lineBytes = 2;
    o.image = {0x01, 0x02, 0x03, 0xFF, 0x00, 0x10};
    MakerResult made;
    const LoadResult r = Make(o, &made);
    EXPECT_TRUE(r.Good());
    EXPECT_EQ(r.totalBytes, 6);
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
    // Each fault stands on the line or block asked for; the loader tests
    // cover how every kind of fault is judged.
    MakerOptions o;
    o.blocks = 2;
    o.badChecksumLine = 10;
    LoadResult r = Make(o);
    EXPECT_EQ(r.fault, LoadFault::BadChecksum);
    EXPECT_EQ(r.faultLine, 10);

    o = MakerOptions{};
    o.badBlockSum = 2;
    MakerResult made;
    r = Make(o, &made);
    EXPECT_EQ(r.fault, LoadFault::BlockSum);
    EXPECT_EQ(r.markers, 2);

    o = MakerOptions{};
    o.lowercaseChecksumLine = -1;  // the last line, a marker
    r = Make(o, &made);
    EXPECT_EQ(r.fault, LoadFault::BadChecksum);
    EXPECT_EQ(r.faultLine, made.dataLines);
    const std::string last = made.bytes.substr(made.bytes.rfind('|') + 1, 2);
    EXPECT_TRUE(std::islower(static_cast<unsigned char>(last[0])) ||
                std::islower(static_cast<unsigned char>(last[1])));
    // With the digit in upper case the line would be good again.
    std::string fixed = made.bytes;
    for (size_t i = fixed.rfind('|') + 1; i < fixed.size(); ++i)
        fixed[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(fixed[i])));
    ASSERT_TRUE(m_file.Open(m_dir.Write("fixed.cvf", fixed).c_str()));
    EXPECT_TRUE(LoadFirmwareData(m_file).Good());

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
    r = Make(o, &made);
    EXPECT_EQ(r.faultLine, made.dataLines + 1);
    EXPECT_EQ(DataLines(made.bytes).back(), "");

    // The over-long line keeps a valid checksum: only its length is wrong.
    o = MakerOptions{};
    o.overlongLine = 3;
    r = Make(o, &made);
    EXPECT_EQ(r.fault, LoadFault::LineTooLong);
    EXPECT_EQ(r.faultLine, 3);
    const std::string line3 = DataLines(made.bytes).at(2);
    EXPECT_EQ(line3.size(), 320u);
    EXPECT_TRUE(CFrame(line3).HasValidChecksum());
}
