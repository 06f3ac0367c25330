// The sealed block of checked lines a device process is given: what it
// hands out is exactly what the load checked, and any block that is short
// or differs anywhere is refused before a line is handed out.

#include "DeviceRecords.h"

#include "firmware/FirmwareImage.h"
#include "firmware/FirmwareLoader.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace {

class FirmwareImageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CFirmwareFile file;
        ASSERT_TRUE(file.Open(m_dir.WriteFirmware("fw.CVF", SmallFirmware()).c_str()));
        LoadRequest request;
        request.keepLines = true;
        m_walk = LoadFirmwareData(file, request);
        ASSERT_TRUE(m_walk.Good());
        m_block = EncodeFirmwareImage(m_walk.data, m_walk.totalBytes, m_walk.index);
    }

    CTempDir m_dir;
    LoadResult m_walk;
    std::string m_block;
};

TEST_F(FirmwareImageTest, TheLinesComeBackExactlyAsCheckedThroughASealedMemoryFile)
{
    const CFirmwareImage image = CFirmwareImage::Make(m_walk.data, m_walk.totalBytes, m_walk.index);
    ASSERT_TRUE(image.Valid());
    // Nobody can change it any more, not even its maker.
    EXPECT_LT(write(image.Fd(), "x", 1), 0);
    EXPECT_EQ(mmap(nullptr, image.Size(), PROT_READ | PROT_WRITE, MAP_SHARED, image.Fd(), 0), MAP_FAILED);

    CImageLines lines;
    std::string why;
    ASSERT_TRUE(MapFirmwareImage(image.Fd(), lines, why)) << why;
    ASSERT_EQ(lines.Count(), m_walk.data.Count());
    for (size_t i = 0; i < lines.Count(); ++i)
        EXPECT_EQ(lines.Line(i), m_walk.data.Line(i)) << i;
    EXPECT_EQ(lines.TotalBytes(), m_walk.totalBytes);
    EXPECT_EQ(lines.Index(), "CVF-DEMO-0001");
}

TEST_F(FirmwareImageTest, AnyBlockShortOrAlteredIsRefused)
{
    // Count, bytes and digest follow the lines; the index comes next.
    const size_t trailer = m_block.size() - 16 - 13 - 4 - 48;  // footer, index "CVF-DEMO-0001", its length
    const std::vector<std::pair<const char*, std::function<void(std::string&)>>> spoilers = {
        {"a data byte of a line", [](std::string& b) { b[10] ^= 0x01; }},
        {"cut short", [](std::string& b) { b.resize(b.size() - 1); }},
        {"the last line dropped",
         [&](std::string& b) {
             const std::string_view last = m_walk.data.Line(m_walk.data.Count() - 1);
             const size_t at = b.rfind(std::string(last));
             b.erase(at - 4, last.size() + 4);
         }},
        {"the count", [=](std::string& b) { b[trailer] = static_cast<char>(b[trailer] + 1); }},
        {"the data bytes", [=](std::string& b) { b[trailer + 8] = static_cast<char>(b[trailer + 8] + 1); }},
        {"the digest", [=](std::string& b) { b[trailer + 16] ^= 0x40; }},
        {"a line length", [](std::string& b) { b[0] = static_cast<char>(b[0] + 1); }},
        {"the tag", [](std::string& b) { b.back() = 'X'; }},
        {"nothing at all", [](std::string& b) { b.clear(); }},
    };
    for (const auto& [what, spoil] : spoilers) {
        std::string block = m_block;
        spoil(block);
        CImageLines lines;
        std::string why;
        EXPECT_FALSE(ReadFirmwareImage(block, lines, why)) << what;
        EXPECT_EQ(lines.Count(), 0u) << what;
        const CFirmwareImage sealed = CFirmwareImage::Seal(block);
        EXPECT_FALSE(MapFirmwareImage(sealed.Fd(), lines, why)) << what;
    }
}

TEST_F(FirmwareImageTest, AMemoryFileThatCouldStillChangeIsRefused)
{
    const int fd = memfd_create("open", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, m_block.data(), m_block.size()), static_cast<ssize_t>(m_block.size()));
    CImageLines lines;
    std::string why;
    EXPECT_FALSE(MapFirmwareImage(fd, lines, why));
    close(fd);
}

}  // namespace
