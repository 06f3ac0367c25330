// Steps 2 to 4 without a window, against the simulated device: the port
// listing, the search, the question, the transfer and its outcomes, and
// what the device saw.

#include "RecordingView.h"

#include "DeviceStandIn.h"

#include "FirmwareMaker.h"
#include "app/workflow/PortChoice.h"
#include "app/workflow/StringTable.h"
#include "link/UucpLock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {


class UpdateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetLanguage(Language::English);
    }

    // Loads the file and searches on the simulator's port directory.
    void LoadAndSearch(CRecordingView& view, const CSimDevice& sim, const MakerOptions& options)
    {
        ASSERT_TRUE(sim.IsReady()) << sim.ReadyLine();
        m_file = WriteFirmware(m_dir, "fw.CVF", options);
        ASSERT_TRUE(view.Load(m_file));
        view.UsePortDirectory(PortDirectoryOf(sim));
        view.ClearHistory();
        ASSERT_TRUE(view.Search());
    }

    // The same with devices in memory and the device process's work on a
    // thread of this test.
    void LoadAndSearch(CRecordingView& view, const CDeviceStandIn& devices, const MakerOptions& options)
    {
        m_file = WriteFirmware(m_dir, "fw.CVF", options);
        ASSERT_TRUE(view.Load(m_file));
        view.UsePortDirectory(devices.PortDirectory());
        view.Workflow().m_deviceLauncher = devices.Launcher();
        view.ClearHistory();
        ASSERT_TRUE(view.Search());
    }

    // After a failure: search again, answer Yes, and expect the update to
    // end well with the device's image equal to the file's data.
    void ExpectCleanRepeat(CRecordingView& view, const CSimDevice& sim)
    {
        ASSERT_EQ(view.Shown().step, StepFindDevice);
        ASSERT_EQ(view.Shown().caption, "continue");
        ASSERT_TRUE(view.Search());
        ASSERT_EQ(view.Shown().step, StepTransfer);
        ASSERT_TRUE(view.AnswerYes());
        EXPECT_EQ(view.Mismatch(Outcome::Done), "");
        EXPECT_EQ(ReadDeviceImage(sim.File("image.txt")), ImageOfFile(m_file));
    }

    CTempDir m_temp;
    const std::string m_dir = m_temp.Path();
    std::string m_file;
};

}  // namespace

TEST_F(UpdateTest, FullUpdateFromSearchToRestart)
{
    CSimDevice sim({"--image-out", "image.txt", "--version", "V2.3.9  2025-06 "});
    CRecordingView view;
    LoadAndSearch(view, sim, MakerOptions{});

    auto s = view.Shown();
    EXPECT_EQ(view.Mismatch(Outcome::Compatible, "2025-06   V2.3.9  "), "");
    EXPECT_TRUE(s.yesVisible);
    EXPECT_TRUE(s.noVisible);
    EXPECT_FALSE(s.mainVisible);
    EXPECT_FALSE(s.progressVisible);
    EXPECT_EQ(s.panePort, "COM5");
    EXPECT_EQ(view.Workflow().m_strPort, "COM5");
    EXPECT_EQ(view.LineHistory(3).front(), "");
    EXPECT_EQ(view.LineHistory(1).front(), "Searching for the device...");
    EXPECT_EQ(view.LineHistory(2).front(), "1 COM port(s) found");
    EXPECT_EQ(view.LineHistory(3)[1], "Checking COM port COM5");

    ASSERT_TRUE(view.AnswerYes());
    s = view.Shown();
    EXPECT_EQ(view.Mismatch(Outcome::Done), "");
    EXPECT_TRUE(s.mainVisible);
    EXPECT_FALSE(s.yesVisible);
    EXPECT_FALSE(s.progressVisible);
    EXPECT_EQ(s.progress, 100);
    EXPECT_FALSE(view.Workflow().m_file.IsOpen());

    // While transferring: the start texts; line 3 empty until 10 %.
    const auto line1 = view.LineHistory(1);
    EXPECT_NE(std::find(line1.begin(), line1.end(), "Firmware update started"), line1.end());
    const auto line4 = view.LineHistory(4);
    EXPECT_NE(std::find(line4.begin(), line4.end(), "transferred"), line4.end());

    EXPECT_EQ(ReadDeviceImage(sim.File("image.txt")), ImageOfFile(m_file));
    const auto requests = Requests(sim);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back(), "RST");
    EXPECT_EQ(RequestsAfterLines(sim), std::vector<std::string>{"RST"});

    // "close" ends the program; a finished update restarts nothing more.
    view.Click();
    EXPECT_TRUE(view.CloseRequested());
    EXPECT_EQ(Requests(sim).size(), requests.size());
}

TEST_F(UpdateTest, ProgressAndRemainingTimeFollowThePercentage)
{
    CSimDevice sim({"--line-time", "2"});
    CRecordingView view;
    LoadAndSearch(view, sim, SmallFirmware());
    view.ClearHistory();
    ASSERT_TRUE(view.AnswerYes());
    // 16 data lines of 32 bytes: 6, 12, ... 100 %, posted once per accepted line.
    const auto positions = view.Positions();
    ASSERT_EQ(positions.front(), 0);
    const std::vector<int> transfer(positions.begin() + 1, positions.end());
    ASSERT_EQ(transfer.size(), 16u);
    for (size_t i = 0; i < transfer.size(); ++i)
        EXPECT_EQ(transfer[i], static_cast<int>((i + 1) * 32 * 100 / 512));
    // Line 3: empty at the start, then one estimate per new percentage from
    // 12 % on (the transfer is fast, so they are empty texts), then the time.
    const auto line3 = view.LineHistory(3);
    ASSERT_EQ(line3.size(), 1u + 15u + 1u);
    EXPECT_EQ(line3.front(), "");
    EXPECT_EQ(line3.back().rfind("Time for firmware update: ", 0), 0u);
}

TEST_F(UpdateTest, TransferOutcomes)
{
    struct Case {
        const char* fault;
        Outcome outcome;
    };
    // One of each outcome; the window's fault matrix has every fault at
    // every place. These run under the sanitizers as well.
    const Case cases[] = {
        {"silence:17", Outcome::Interrupted},
        {"badsum:9", Outcome::ProtocolError},
        {"reject:5:4", Outcome::ProtocolError},
        {"reject:5:3", Outcome::Done},
        {"flash:1", Outcome::FlashError},
        {"cf:5", Outcome::Done},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        CDeviceStandIn devices;
        CMemoryDevice& device = devices.Add("COM5", {.faults = {c.fault}});
        CRecordingView view;
        LoadAndSearch(view, devices, SmallFirmware());
        ASSERT_TRUE(view.AnswerYes(15000));
        EXPECT_EQ(view.Mismatch(c.outcome), "");
        // What the device hears after the last line.
        EXPECT_EQ(device.RequestsAfterLines(), ClosingOf(c.outcome));
        if (c.outcome != Outcome::Done) {
            EXPECT_TRUE(view.Workflow().m_file.IsOpen()) << "kept for the next attempt";
            // Search again and repeat: the fault has fired, the update ends well.
            ASSERT_TRUE(view.Search());
            ASSERT_EQ(view.Shown().step, StepTransfer);
            ASSERT_TRUE(view.AnswerYes());
            EXPECT_EQ(view.Mismatch(Outcome::Done), "");
        }
        // 0xCF ends the update early, by the device's own word.
        if (std::string(c.fault).rfind("cf", 0) != 0) {
            EXPECT_EQ(device.Image(), ImageOfFile(m_file));
        }
    }
}

TEST_F(UpdateTest, WhatIsSentIsWhatWasLoadedWhateverBecomesOfTheFile)
{
    // Another image of the same device kind, written over the loaded file.
    MakerOptions other = SmallFirmware();
    other.seed = 77;
    const std::string otherBytes = MakeFirmwareFile(other).bytes;
    auto rewrite = [&otherBytes](const std::string& path) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << otherBytes;  // same inode
    };
    // Every read of the loaded file's descriptor fails from now on.
    auto unreadable = [](const std::string& path) {
        const int broken = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            if (std::filesystem::read_symlink(entry.path(), error) == path)
                ::dup2(broken, std::stoi(entry.path().filename().string()));
        }
        ::close(broken);
    };
    struct Case {
        const char* name;
        bool afterSearch;  // else between the load and the search
        std::function<void(const std::string&)> change;
    };
    const Case cases[] = {
        {"rewritten before the search", false, rewrite},
        {"rewritten after the search", true, rewrite},
        {"cut short after the search", true, [](const std::string& path) { std::filesystem::resize_file(path, 100); }},
        {"removed after the search", true, [](const std::string& path) { std::filesystem::remove(path); }},
        {"unreadable before the search", false, unreadable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CSimDevice sim({"--image-out", "image.txt"});
        CRecordingView view;
        m_file = WriteFirmware(m_dir, "fw.CVF", SmallFirmware());
        const auto loaded = ImageOfFile(m_file);
        ASSERT_TRUE(view.Load(m_file));
        view.UsePortDirectory(PortDirectoryOf(sim));
        if (!c.afterSearch)
            c.change(m_file);
        ASSERT_TRUE(view.Search());
        ASSERT_EQ(view.Shown().step, StepTransfer) << view.Shown().status[1];
        if (c.afterSearch)
            c.change(m_file);
        ASSERT_TRUE(view.AnswerYes());
        EXPECT_EQ(view.Mismatch(Outcome::Done), "");
        EXPECT_EQ(ReadDeviceImage(sim.File("image.txt")), loaded);
        EXPECT_EQ(RequestsAfterLines(sim), std::vector<std::string>{"RST"});
    }
}

TEST_F(UpdateTest, AnEndRequestStopsTheTransferAfterItsLineAndTheDeviceIsToldSo)
{
    // Paced, so that the transfer is well under way when the end comes.
    CSimDevice sim({"--line-time", "5"});
    CRecordingView view;
    LoadAndSearch(view, sim, SmallFirmware());
    view.OpenClickGate();
    view.Workflow().OnYes();
    ASSERT_TRUE(sim.WaitForLog("line 3"));
    view.Workflow().OnEndRequest();
    view.Workflow().OnEndRequest();  // a second request changes nothing
    ASSERT_TRUE(view.WaitIdle(30000));
    EXPECT_EQ(RequestsAfterLines(sim), (std::vector<std::string>{"DPZ", "RST"}));
    EXPECT_TRUE(view.CloseRequested());
    EXPECT_EQ(ProbePortState(sim.DevicePath()), PortState::Free) << "the port is given back";
}

TEST_F(UpdateTest, AllLinesAcceptedWithoutABlockEndIsIncomplete)
{
    MakerOptions o = SmallFirmware();
    o.blocks = 1;
    o.finalMarker = false;
    CSimDevice sim;
    CRecordingView view;
    LoadAndSearch(view, sim, o);
    ASSERT_TRUE(view.AnswerYes());
    EXPECT_EQ(view.Mismatch(Outcome::Interrupted), "");
    EXPECT_EQ(view.Shown().progress, 100);
    EXPECT_EQ(RequestsAfterLines(sim), std::vector<std::string>{});
}

TEST_F(UpdateTest, LostDeviceEndsAtOnceAndTheUpdateCanBeRepeated)
{
    CSimDevice gone({"--fault", "hangup:5"}, false, "COM5");
    CRecordingView view;
    LoadAndSearch(view, gone, SmallFirmware());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(view.AnswerYes(5000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(view.Mismatch(Outcome::ProtocolError), "");
    EXPECT_FALSE(view.Workflow().IsWorkerRunning());

    // The device comes back on a port of the same name.
    gone.Stop();
    CSimDevice back({"--image-out", "image.txt", "--port-dir", PortDirectoryOf(gone)}, false, "COM5");
    ASSERT_TRUE(back.IsReady());
    ExpectCleanRepeat(view, back);
}

TEST_F(UpdateTest, EmptyFileTransfersNothingAndNeverDividesByZero)
{
    CSimDevice sim;
    CRecordingView view;
    ASSERT_TRUE(sim.IsReady());
    m_file = m_dir + "/marker-only.CVF";
    std::ofstream(m_file, std::ios::binary) << "[PSDINDEX]\r\nINDEX=CVF-DEMO-0001\r\nDEVICE=Box\r\n[DATA]\r\n"
                                            << MakeRequest("FWXXX|00|") << "\r\n";
    ASSERT_TRUE(view.Load(m_file));
    view.UsePortDirectory(PortDirectoryOf(sim));
    ASSERT_TRUE(view.Search());
    ASSERT_TRUE(view.AnswerYes());
    EXPECT_EQ(view.Shown().status[1], "Firmware update ended");
}

TEST_F(UpdateTest, NoPortAtAll)
{
    CRecordingView view;
    ASSERT_TRUE(view.Load(WriteFirmware(m_dir, "fw.CVF", SmallFirmware())));
    view.UsePortDirectory(m_dir + "/no-such-directory");
    view.OpenClickGate();
    view.Workflow().OnMainButton();
    EXPECT_FALSE(view.Workflow().IsWorkerRunning());
    EXPECT_EQ(view.Mismatch(Outcome::NoPort), "");
}

TEST_F(UpdateTest, SilentPortMeansNoDevice)
{
    CDeviceStandIn devices;
    CMemoryDevice& device = devices.Add("COM5", {.identity = {.updateMode = false}});
    CRecordingView view;
    LoadAndSearch(view, devices, SmallFirmware());
    const auto s = view.Shown();
    EXPECT_EQ(view.Mismatch(Outcome::NoDevice), "");
    EXPECT_TRUE(s.mainVisible);
    EXPECT_FALSE(s.progressVisible);
    EXPECT_EQ(view.Workflow().m_strPort, "COM5");
    const auto positions = view.Positions();
    const std::vector<int> tail(positions.end() - 5, positions.end());
    EXPECT_EQ(tail, (std::vector<int>{0, 33, 66, 99, 100}));
    EXPECT_EQ(device.Requests(), (std::vector<std::string>{"ASP", "ASP", "ASP"}));
}

TEST_F(UpdateTest, SecondPortAnswersAfterTheFirstStaysSilent)
{
    CDeviceStandIn devices;
    devices.Add("COM5", {.identity = {.updateMode = false}});
    devices.Add("COM6");
    CRecordingView view;
    LoadAndSearch(view, devices, SmallFirmware());
    EXPECT_EQ(view.Shown().step, StepTransfer);
    EXPECT_EQ(view.Workflow().m_strPort, "COM6");
    EXPECT_EQ(view.Shown().panePort, "COM6");
    EXPECT_EQ(view.LineHistory(2).front(), "2 COM port(s) found");
    // Three attempts on COM5 stepped by 16, one on COM6, then 95 and 100.
    const auto positions = view.Positions();
    const std::vector<int> tail(positions.end() - 7, positions.end());
    EXPECT_EQ(tail, (std::vector<int>{0, 16, 32, 48, 64, 95, 100}));
}

TEST_F(UpdateTest, IncompatibleDeviceAsksForAnotherFile)
{
    CSimDevice sim({"--index", "OTHER-DEVICE"});
    CRecordingView view;
    LoadAndSearch(view, sim, SmallFirmware());
    EXPECT_EQ(view.Mismatch(Outcome::Incompatible), "");
    EXPECT_EQ(view.LineHistory(4).end()[-2], "Click on the button to load the firmware file");
    EXPECT_FALSE(view.Workflow().m_file.IsOpen());
    EXPECT_EQ(Requests(sim), (std::vector<std::string>{"ASP", "PSD", "PSD", "PSD", "EAE"}));
}

TEST_F(UpdateTest, DeviceVersionTexts)
{
    struct Case {
        std::vector<std::string> args;
        const char* line3;
    } cases[] = {
        {{"--version", "12345"}, "45  12"},
        {{"--fault", "noversion:EAE:always"}, "No version available"},
        {{"--fault", "ffversion:EAE"}, "No version available"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line3);
        CSimDevice sim(c.args);
        CRecordingView view;
        LoadAndSearch(view, sim, SmallFirmware());
        EXPECT_EQ(view.Mismatch(Outcome::Compatible, c.line3), "");
    }
}

TEST_F(UpdateTest, PortHeldByAnotherProgramsLockFileIsNotUsed)
{
    // A terminal program holds the simulator's port the old way, with a
    // lock file naming a live process (this one).
    CSimDevice sim;
    ASSERT_TRUE(sim.IsReady());
    const std::vector<std::string> before = GetUucpLockDirectories();
    SetUucpLockDirectories({m_dir});
    std::ofstream(m_dir + "/" + UucpLockName(sim.DevicePath())) << "      " << getpid() << "\n";
    CRecordingView view;
    ASSERT_TRUE(view.Load(WriteFirmware(m_dir, "fw.CVF", SmallFirmware())));
    view.UsePortDirectory(PortDirectoryOf(sim));
    view.OpenClickGate();
    view.Workflow().OnMainButton();
    SetUucpLockDirectories(before);
    EXPECT_FALSE(view.Workflow().IsWorkerRunning());
    EXPECT_EQ(view.Mismatch(Outcome::NoPort), "");
    EXPECT_TRUE(Requests(sim).empty());
}

// The text for a refused port names what helps: the group of the device
// node when joining it gives access, otherwise the administrator.
TEST_F(UpdateTest, PortRefusedForLackOfPermissionIsNamed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs to switch to another user";
    // A named group that is neither root nor dialout, so that the text
    // can only have it from the node.
    std::string groupName;
    gid_t groupId = 0;
    setgrent();
    while (const group* g = getgrent()) {
        const std::string name = g->gr_name;
        if (g->gr_gid != 0 && g->gr_gid != 65534 && name != "dialout" && name != "nogroup") {
            groupName = name;
            groupId = g->gr_gid;
            break;
        }
    }
    endgrent();
    ASSERT_FALSE(groupName.empty());
    gid_t unnamed = 54321;
    while (getgrgid(unnamed) != nullptr)
        ++unnamed;

    const std::string join = "No permission for COM9: join group " + groupName + ", then log in again";
    const std::string admin = "No permission for COM9: ask the administrator for access";
    struct Case {
        const char* what;
        gid_t gid;
        mode_t mode;
        std::string line4;
    } cases[] = {
        {"a group that may read and write", groupId, 0660, join},
        {"root's group", 0, 0660, admin},
        {"the group may only read", groupId, 0640, admin},
        {"a group without a name", unnamed, 0660, admin},
        {"root's alone", 0, 0600, admin},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A terminal of root's that an ordinary user may not open.
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        const std::string slave = ptsname(master);
        ASSERT_EQ(chown(slave.c_str(), 0, c.gid), 0);
        ASSERT_EQ(chmod(slave.c_str(), c.mode), 0);

        // The listing runs as nobody, in no group, in a child with a port
        // directory of its own.
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
                _exit(10);
            char pattern[] = "/tmp/cvf-nobody-XXXXXX";
            if (mkdtemp(pattern) == nullptr)
                _exit(11);
            const std::string ports = std::string(pattern) + "/ports";
            if (mkdir(ports.c_str(), 0700) != 0 || symlink(slave.c_str(), (ports + "/COM9").c_str()) != 0)
                _exit(12);
            int result = 0;
            {
                CRecordingView view;
                view.UsePortDirectory(ports);
                if (view.Workflow().FindComPorts())
                    result = 13;
                else if (view.Shown().status[1] != "There is no COM port available.")
                    result = 14;
                else if (view.Shown().status[4] != c.line4)
                    result = 15;
            }
            std::filesystem::remove_all(pattern);
            _exit(result);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        close(master);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "10-12: set-up in the child, 13: port listed, 14/15: texts";
    }
}
