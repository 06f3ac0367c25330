// The loader walk over whole files written by the firmware-file maker or
// put together line by line.

#include "DeviceRecords.h"

#include "FirmwareMaker.h"
#include "firmware/FirmwareLoader.h"
#include "link/Frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <fstream>
#include <vector>

using namespace std::string_literals;

namespace {

const std::string kHeader = "[PSDINDEX]\r\nINDEX=T-1\r\nDEVICE=Test\r\n[DATA]\r\n";

// A data line: the body completed by checksum, EOT and CR LF.
std::string Line(const std::string& body)
{
    return body + CFrame::ChecksumText(body) + FRAME_TERMINATOR + "\r\n";
}

std::string Hex(const std::string& bytes)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

class LoaderTest : public ::testing::Test {
protected:
    LoadResult Load(const std::string& bytes)
    {
        m_progress.clear();
        EXPECT_TRUE(m_file.Open(m_dir.Write("f.cvf", bytes).c_str()));
        m_file.m_nTotalBytes = 12345;  // a load starts counting from 0
        const LoadResult result = LoadFirmwareData(m_file, [this](int percent) { m_progress.push_back(percent); });
        EXPECT_EQ(m_file.m_nTotalBytes, result.totalBytes);
        if (result.Good())
            DecodeVersionRecord(result.versionText, m_version1, m_version2);
        return result;
    }

    LoadResult Make(const MakerOptions& options)
    {
        m_made = MakeFirmwareFile(options);
        EXPECT_EQ(m_made.error, "");
        return Load(m_made.bytes);
    }

    CTempDir m_dir;
    CFirmwareFile m_file;
    MakerResult m_made;
    std::vector<int> m_progress;
    std::string m_version1, m_version2;
};

}  // namespace

TEST_F(LoaderTest, SampleFileLoads)
{
    const LoadResult r = Make(MakerOptions{});
    EXPECT_TRUE(r.Good());
    EXPECT_EQ(r.faultLine, 0);
    EXPECT_EQ(r.lines, m_made.dataLines);
    EXPECT_EQ(r.markers, 3);
    EXPECT_EQ(r.totalBytes, 3 * 8192);
    EXPECT_EQ(m_file.GetTotalBytes(), 3 * 8192);
    EXPECT_EQ(m_version1, "V2.4.1");
    EXPECT_EQ(m_version2, "2026-11" + std::string(32 - 7 - 1 - 6, '\0'));  // all after the first NUL
}

TEST_F(LoaderTest, ProgressRisesToExactly100AtTheEnd)
{
    Make(MakerOptions{});
    ASSERT_FALSE(m_progress.empty());
    for (size_t i = 1; i < m_progress.size(); ++i)
        EXPECT_LT(m_progress[i - 1], m_progress[i]) << "at report " << i;
    EXPECT_GT(m_progress.front(), 0);
    EXPECT_EQ(m_progress.back(), 100);

    // A last line without its line end counts two bytes the file does not
    // hold; the progress still ends at 100.
    std::string bytes = m_made.bytes;
    bytes.resize(bytes.size() - 2);
    EXPECT_TRUE(Load(bytes).Good());
    EXPECT_EQ(m_progress.back(), 100);
    EXPECT_LE(*std::max_element(m_progress.begin(), m_progress.end()), 100);

    // Beyond 42.9 MB the percentage no longer fits a 32-bit product.
    EXPECT_EQ(LoadPercent(43'000'000, 86'000'000), 50);
    EXPECT_EQ(LoadPercent(2'147'483'600, 2'147'483'647), 99);
    EXPECT_EQ(LoadPercent(2'147'483'647, 2'147'483'647), 100);
    EXPECT_EQ(LoadPercent(2, 0), 100);
}

TEST_F(LoaderTest, EmptyDataSection)
{
    const LoadResult r = Load(kHeader);
    EXPECT_TRUE(r.Good());
    EXPECT_EQ(r.lines, 0);
    EXPECT_EQ(r.totalBytes, 0);
    EXPECT_TRUE(m_progress.empty());
    EXPECT_EQ(m_version1, "");
    EXPECT_EQ(m_version2, "");
}

TEST_F(LoaderTest, BlocksAndMarkers)
{
    // A marker before any block closes an empty block.
    const std::string block = Line("FWBS|00|02|0006|0000|0102|") + Line("FWDL|00|01|0002|03|") + Line("FWXXX|00|");
    LoadResult r = Load(kHeader + Line("FWXXX|00|") + block);
    EXPECT_TRUE(r.Good());
    EXPECT_EQ(r.markers, 2);
    EXPECT_EQ(r.totalBytes, 3);

    // 1 + 2 + 3 is not 7.
    r = Load(kHeader + Line("FWBS|00|02|0007|0000|0102|") + Line("FWDL|00|01|0002|03|") + Line("FWXXX|00|"));
    EXPECT_EQ(r.fault, LoadFault::BlockSum);
    EXPECT_EQ(r.faultLine, 3);

    // A last block without a marker is not checked.
    MakerOptions o;
    o.badBlockSum = 3;
    o.finalMarker = false;
    r = Make(o);
    EXPECT_TRUE(r.Good());
    EXPECT_EQ(r.markers, 2);
}

TEST_F(LoaderTest, FaultsStopTheWalkAtTheirLine)
{
    struct Case {
        const char* name;
        MakerOptions options;
        LoadFault fault;
        int line;        // 0: the last line the maker wrote; -1: the line after it
        int totalBytes;  // counted up to the faulty line
        bool reached100; // the faulty line is the last one
    };
    auto options = [](auto change) {
        MakerOptions o;
        change(o);
        return o;
    };
    const int blockLines = 8192 / 32 + 1;  // data lines and marker
    const Case cases[] = {
        {"bad checksum on the last line", options([](MakerOptions& o) { o.badChecksumLine = 3 * blockLines; }),
         LoadFault::BadChecksum, 0, 3 * 8192, true},
        {"lower-case checksum digit", options([](MakerOptions& o) { o.lowercaseChecksumLine = 5; }),
         LoadFault::BadChecksum, 5, 4 * 32, false},
        {"wrong sum of the second block", options([](MakerOptions& o) { o.badBlockSum = 2; }), LoadFault::BlockSum,
         2 * blockLines, 2 * 8192, false},
        {"blank line at the end", options([](MakerOptions& o) { o.blankLineAtEnd = true; }), LoadFault::BadChecksum,
         -1, 3 * 8192, true},
        {"over-long line", options([](MakerOptions& o) { o.overlongLine = 3; }), LoadFault::LineTooLong, 3, 2 * 32,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const LoadResult r = Make(c.options);
        const int line = c.line == 0 ? m_made.dataLines : c.line < 0 ? m_made.dataLines + 1 : c.line;
        EXPECT_EQ(r.fault, c.fault);
        EXPECT_EQ(r.faultLine, line);
        EXPECT_EQ(r.lines, line);
        EXPECT_EQ(r.totalBytes, c.totalBytes);
        EXPECT_EQ(m_file.GetTotalBytes(), c.totalBytes);
        EXPECT_EQ(!m_progress.empty() && m_progress.back() == 100, c.reached100);
    }
}

TEST_F(LoaderTest, LinesTheDeviceCouldNeverAnswerAreFaulty)
{
    // A valid checksum followed by anything but EOT: the device would wait
    // for its EOT and never answer.
    const std::string noEot = "FWDL|00|01|0000|03|" + CFrame::ChecksumText("FWDL|00|01|0000|03|") + "X\r\n";
    LoadResult r = Load(kHeader + Line("FWBS|00|01|0003|0000|03|") + noEot);
    EXPECT_EQ(r.fault, LoadFault::NoTerminator);
    EXPECT_EQ(r.faultLine, 2);

    // Every line of the file is held to the same length, header lines too:
    // a long DEVICE line would otherwise be cut without a word.
    const std::string block = Line("FWXXX|00|");
    r = Load("[PSDINDEX]\r\nINDEX=T-1\r\nDEVICE=" + std::string(400, 'D') + "\r\n[DATA]\r\n" + block);
    EXPECT_EQ(r.fault, LoadFault::HeaderLineTooLong);
    EXPECT_EQ(r.faultLine, 3);
    EXPECT_EQ(r.lines, 0);
    r = Load("[PSDINDEX]\r\nINDEX=T-1\r\nDEVICE=" + std::string(299 - 7, 'D') + "\r\n[DATA]\r\n" + block);
    EXPECT_TRUE(r.Good());
    EXPECT_EQ(r.device, std::string(299 - 7, 'D'));
    EXPECT_EQ(r.index, "T-1");
}

TEST_F(LoaderTest, KeepsTheLinesItCheckedAndNoticesAFileWrittenMeanwhile)
{
    m_made = MakeFirmwareFile(MakerOptions{});
    const std::string path = m_dir.Write("kept.cvf", m_made.bytes);
    ASSERT_TRUE(m_file.Open(path.c_str()));
    LoadRequest request;
    request.keepLines = true;
    LoadResult r = LoadFirmwareData(m_file, request);
    ASSERT_TRUE(r.Good());
    ASSERT_EQ(r.data.Count(), static_cast<size_t>(m_made.dataLines));
    std::string joined;
    for (size_t i = 0; i < r.data.Count(); ++i)
        joined += std::string(r.data.Line(i)) + "\r\n";
    EXPECT_EQ(joined, m_made.bytes.substr(m_made.bytes.find("[DATA]\r\n") + 8));

    // Written to in place while it is read (a line already checked): what
    // was kept may be a mix. The file is made older first, so that the
    // write shows in its time even within one tick of the clock.
    const timespec old[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
    request.progress = [&path](int percent) {
        if (percent == 50) {
            std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
            file.seekp(0);
            file << "[";
        }
    };
    r = LoadFirmwareData(m_file, request);
    EXPECT_EQ(r.fault, LoadFault::Changed);
    EXPECT_TRUE(r.data.Empty());

    // Asked to stop: at the next line.
    std::atomic<bool> stop{true};
    request.progress = {};
    request.stop = &stop;
    r = LoadFirmwareData(m_file, request);
    EXPECT_EQ(r.fault, LoadFault::Stopped);
}

TEST_F(LoaderTest, VersionRecord)
{
    // 0x1000 above a block at 0: V1.0, NUL, 2003, NUL and fill.
    MakerOptions o;
    o.blocks = 1;
    o.blockBytes = 0x1100;
    o.version1 = "V1.0";
    o.version2 = "2003";
    LoadResult r = Make(o);
    EXPECT_EQ(r.versionText, "56312E30003230303300" + std::string(44, '0'));
    EXPECT_EQ(m_version1, "V1.0");
    EXPECT_EQ(m_version2, "2003" + std::string(23, '\0'));
    EXPECT_STREQ(m_version2.c_str(), "2003");

    // Lines of 100 bytes: the record starts 96 bytes into a line and ends
    // in the next one.
    o.lineBytes = 100;
    o.version1 = "ABCDEFGH";
    o.version2 = "12345678901234567890123";  // fills the record
    r = Make(o);
    EXPECT_EQ(m_version1, "ABCDEFGH");
    EXPECT_EQ(m_version2, "12345678901234567890123");

    // ... and where that line runs past 0xFFFF into 0x0000.
    o.startAddress = 0xEFFE;
    r = Make(o);
    EXPECT_EQ(m_version1, "ABCDEFGH");
    EXPECT_EQ(m_version2, "12345678901234567890123");

    // Without a NUL the first text takes all 32 bytes.
    o = MakerOptions{};
    o.writeVersion = false;
    o.blockBytes = 0x1100;
    o.image.assign(0x1100, 0xEE);
    const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
    std::copy(letters.begin(), letters.end(), o.image.begin() + 0x1000);
    r = Make(o);
    EXPECT_EQ(m_version1, letters);
    EXPECT_EQ(m_version2, "");

    // No line covers the target.
    o = MakerOptions{};
    o.writeVersion = false;
    o.blockBytes = 0x800;
    r = Make(o);
    EXPECT_TRUE(r.Good());
    EXPECT_EQ(r.versionText, "");
    EXPECT_EQ(m_version1, "");
    EXPECT_EQ(m_version2, "");
}

TEST_F(LoaderTest, LinesWithoutDataTakeNoPartInTheVersionSearch)
{
    // A line at address 0 with no data bytes would cover every target by a
    // plain range test, and at 0x1000 ask for a negative number of digits.
    const std::string record = "V9\0X"s + std::string(28, '\0');
    const std::string sum = "00E7";  // 'V' + '9' + 'X'
    const LoadResult r = Load(kHeader + Line("FWBS|00|00|" + sum + "|0000||") + Line("FWDL|00|00|0000||") +
                              Line("FWDL|00|20|1000|" + Hex(record) + "|") + Line("FWXXX|00|"));
    EXPECT_TRUE(r.Good());
    EXPECT_EQ(r.totalBytes, 32);
    EXPECT_EQ(r.versionText, Hex(record));
    EXPECT_EQ(m_version1, "V9");
    EXPECT_EQ(m_version2, "X" + std::string(28, '\0'));
}

TEST(VersionRecordText, Decoding)
{
    // Digits in either case; a NUL first leaves the first text empty.
    std::string v1 = "old", v2 = "old";
    DecodeVersionRecord("007a7A00", v1, v2);
    EXPECT_EQ(v1, "");
    EXPECT_EQ(v2, "zz\0"s);

    // A record cut short by the end of the data.
    DecodeVersionRecord("41004243", v1, v2);
    EXPECT_EQ(v1, "A");
    EXPECT_EQ(v2, "BC");
}

TEST(LoaderReadError, AFileThatCannotBeReadIsNotGood)
{
    // /proc/self/mem is a regular file whose first page cannot be read: every
    // read fails with EIO, which ReadLine alone would take for the end.
    CFirmwareFile file;
    ASSERT_TRUE(file.Open("/proc/self/mem"));
    const LoadResult result = LoadFirmwareData(file);
    EXPECT_NE(file.ReadError(), 0);
    EXPECT_EQ(result.fault, LoadFault::ReadError);
    EXPECT_FALSE(result.Good());
}
