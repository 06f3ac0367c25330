// Steps 0 to 2 without a window: instructions, the header check and the
// loading worker, with the texts a user sees.

#include "RecordingView.h"

#include "FirmwareMaker.h"
#include "app/workflow/StringTable.h"

#include <gtest/gtest.h>

#include <system_error>

#include <filesystem>
#include <fstream>

namespace {

class LoadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetLanguage(Language::English);
    }
    std::string Write(const MakerOptions& options, const std::string& name = "fw.CVF")
    {
        return WriteFirmware(m_dir, name, options);
    }
    std::string WriteBytes(const std::string& name, const std::string& bytes)
    {
        const std::string path = m_dir + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    // The screen after a refused file: step 1, the four texts, file closed.
    static void ExpectFaultyFile(const CRecordingView& view)
    {
        const auto s = view.Shown();
        EXPECT_EQ(view.Mismatch(Outcome::LoadFaulty), "");
        EXPECT_TRUE(s.mainVisible);
        EXPECT_FALSE(s.progressVisible);
        EXPECT_EQ(s.paneFile, "");
        EXPECT_EQ(s.paneDevice, "");
        EXPECT_FALSE(view.Workflow().m_file.IsOpen());
        EXPECT_FALSE(view.Workflow().IsWorkerRunning());
    }

    CTempDir m_temp;
    const std::string m_dir = m_temp.Path();
};

}  // namespace

TEST_F(LoadTest, WelcomeLeadsToTheInstructions)
{
    CRecordingView view;
    ASSERT_TRUE(view.Start());
    EXPECT_EQ(view.Mismatch(kInstructions), "");
    EXPECT_EQ(view.Shown().line4Color, 0x0A27CCu);
}

TEST_F(LoadTest, SampleLoadsWithDeviceNameAndVersion)
{
    CRecordingView view;
    const std::string path = Write(MakerOptions{});
    ASSERT_TRUE(view.Load(path));
    const auto s = view.Shown();
    EXPECT_EQ(s.info[1], "Demo Controller compatible fimware file loaded.");
    EXPECT_EQ(s.info[2], "Software Version:");
    EXPECT_EQ(s.info[3], "2026-11  V2.4.1");
    EXPECT_EQ(view.Mismatch(Outcome::Loaded), "");
    EXPECT_EQ(s.paneFile, path);
    EXPECT_EQ(s.paneDevice, "Demo Controller");
    EXPECT_TRUE(s.mainVisible);
    EXPECT_FALSE(s.progressVisible);
    EXPECT_EQ(view.Workflow().m_strDevice, "Demo Controller");
    EXPECT_EQ(view.Workflow().m_file.GetTotalBytes(), 3 * 8192);
    // While loading: the loading texts, then the bar from 0 up to 100.
    EXPECT_EQ(view.LineHistory(1).front(), "File loading.");
    EXPECT_EQ(view.LineHistory(2).front(), "Please wait...");
    const auto positions = view.Positions();
    ASSERT_FALSE(positions.empty());
    EXPECT_EQ(positions.front(), 0);
    EXPECT_EQ(positions.back(), 100);
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
}

TEST_F(LoadTest, VersionRecordOfOneBlockAt0)
{
    MakerOptions o;
    o.version1 = "V1.0";
    o.version2 = "2003";
    o.blocks = 1;
    CRecordingView view;
    ASSERT_TRUE(view.Load(Write(o)));
    EXPECT_EQ(view.Workflow().m_strFileVersion1, "V1.0");
    EXPECT_EQ(view.Shown().info[3], "2003  V1.0");
}

TEST_F(LoadTest, FileWithoutVersionRecordShowsTwoBlanks)
{
    MakerOptions o;
    o.writeVersion = false;
    o.blocks = 1;
    o.blockBytes = 256;
    CRecordingView view;
    ASSERT_TRUE(view.Load(Write(o)));
    EXPECT_EQ(view.Shown().info[3], "  ");
}

TEST_F(LoadTest, EmptyDataSectionLoads)
{
    CRecordingView view;
    ASSERT_TRUE(view.Load(WriteBytes("empty.CVF", "[PSDINDEX]\r\nINDEX=X\r\nDEVICE=Box\r\n[DATA]\r\n")));
    EXPECT_EQ(view.Workflow().m_file.GetTotalBytes(), 0);
    EXPECT_EQ(view.Shown().info[3], "  ");
    EXPECT_EQ(view.Shown().info[1], "Box compatible fimware file loaded.");
}

TEST_F(LoadTest, FileGoneBeforeTheLoaderOpensIt)
{
    CRecordingView view;
    view.Workflow().m_strFilePath = m_dir + "/gone.CVF";
    view.Workflow().EnterStep(StepFindDevice);
    view.PretendBusy(true);
    CUpdateWorkflow::LoadThreadProc(&view.Workflow());  // the worker, on this thread
    ASSERT_EQ(view.Messages().size(), 1u);
    EXPECT_EQ(view.Messages()[0], m_dir + "/gone.CVF\ncouldn't be opened.");
    EXPECT_EQ(view.MessageIcons()[0], MessageIcon::Exclamation);
    ExpectFaultyFile(view);
}

TEST_F(LoadTest, AWorkerThatCannotStartIsReportedAndTheStepStays)
{
    CRecordingView view;
    view.Workflow().m_launchWorker = [](void (*)(CUpdateWorkflow*), CUpdateWorkflow*) -> std::thread {
        throw std::system_error(EAGAIN, std::generic_category(), "thread");
    };
    ASSERT_FALSE(view.Load(WriteFirmware(m_dir, "fw.CVF", SmallFirmware())));
    EXPECT_EQ(view.Shown().step, StepLoadFile);
    EXPECT_FALSE(view.Workflow().IsWorkerRunning());
    ASSERT_EQ(view.Messages().size(), 1u);
    EXPECT_EQ(view.Messages()[0].rfind("The work could not be started: thread: ", 0), 0u) << view.Messages()[0];
    EXPECT_EQ(view.MessageIcons()[0], MessageIcon::Exclamation);
}

TEST_F(LoadTest, ClickGateAndBusyIgnoreClicks)
{
    CRecordingView view;
    view.OpenClickGate();
    view.Workflow().OnMainButton();               // accepted: the gate closes
    EXPECT_EQ(view.Workflow().m_bClickReady, 0);
    view.Workflow().OnMainButton();               // within the gate: ignored
    EXPECT_EQ(view.Shown().step, StepLoadFile);
    EXPECT_EQ(view.Shown().caption, "Load file");
    view.Workflow().OnTimer(CLICK_TIMER_ID + 1);  // another timer does not open it
    EXPECT_EQ(view.Workflow().m_bClickReady, 0);
    view.Workflow().OnTimer(CLICK_TIMER_ID);
    EXPECT_EQ(view.Workflow().m_bClickReady, 1);

    view.PretendBusy(true);
    view.CancelNextFile();
    view.Workflow().OnMainButton();
    EXPECT_EQ(view.Workflow().m_bClickReady, 1) << "a click while busy does not even start the gate";
    view.PretendBusy(false);
}

TEST_F(LoadTest, CloseRefusedWhileBusyAndClosesTheFileOtherwise)
{
    CRecordingView view;
    ASSERT_TRUE(view.Load(Write(MakerOptions{})));
    view.PretendBusy(true);
    EXPECT_FALSE(view.Workflow().OnClose());
    ASSERT_EQ(view.Messages().size(), 1u);
    EXPECT_EQ(view.Messages()[0], kCloseRefused);
    EXPECT_TRUE(view.Workflow().m_file.IsOpen());
    view.PretendBusy(false);
    EXPECT_TRUE(view.Workflow().OnClose());
    EXPECT_FALSE(view.Workflow().m_file.IsOpen());
}

TEST_F(LoadTest, SetStatusLinesKeepsOrEmptiesLines)
{
    CRecordingView view;
    view.Workflow().SetStatusLines(LINES_INSTRUCTIONS);
    view.Workflow().SetStatusLines(IDS_NONE, KEEP_LINE, IDS_NO_PORT, KEEP_LINE);
    const auto s = view.Shown();
    EXPECT_EQ(s.status[1], "");
    EXPECT_EQ(s.status[2], "and connect it to your PC.");
    EXPECT_EQ(s.status[3], "There is no COM port available.");
    EXPECT_EQ(s.status[4], "Click on the button to load the firmware file");
}
