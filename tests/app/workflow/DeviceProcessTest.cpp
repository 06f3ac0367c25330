// The device process (cvf-device) under its supervisor, against the
// simulated device: the messages between them, a block of lines that is
// not what was checked, a device process lost mid-transfer, one that hangs,
// and a front end that was not looking for a while.

#include "DeviceRecords.h"
#include "SimDevice.h"

#include "app/workflow/DeviceMessages.h"
#include "app/workflow/DeviceSupervisor.h"
#include "app/workflow/Outcome.h"
#include "app/workflow/PortChoice.h"
#include "firmware/FirmwareLoader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

TEST(DeviceMessages, EveryKindComesBackAsItWentAndBrokenFramesAreNoMessages)
{
    const std::vector<DeviceEvent> events = {
        {.kind = EventKind::Ready},
        {.kind = EventKind::PortWanted, .port = 6},
        {.kind = EventKind::Attempt, .port = 1, .status = 0xCF},
        {.kind = EventKind::Found, .port = 2, .compatible = true, .haveVersion = true,
         .version1 = std::string("V1\0\xFF|", 5), .version2 = "x"},
        {.kind = EventKind::Progress, .percent = 42, .remainingSeconds = 3725},
        {.kind = EventKind::Result, .port = -1, .outcome = static_cast<int>(Outcome::Done), .elapsedSeconds = 61},
    };
    CFrameReader reader;
    std::string stream;
    for (const DeviceEvent& event : events)
        stream += EncodeMessage(event);
    // Byte by byte, as a pipe may hand it over.
    std::string payload;
    size_t decoded = 0;
    for (char c : stream) {
        reader.Feed(&c, 1);
        while (reader.Take(payload) == CFrameReader::Next::Frame) {
            DeviceEvent event;
            ASSERT_TRUE(DecodeMessage(payload, event));
            const DeviceEvent& sent = events[decoded++];
            EXPECT_EQ(EncodeMessage(event), EncodeMessage(sent));
        }
    }
    EXPECT_EQ(decoded, events.size());

    ControlMessage job{.kind = ControlKind::Job, .job = {.parentPid = 4711, .ask = true, .ports = {{"COM3", "/dev/pts/9"}}}};
    ControlMessage back;
    const std::string frame = EncodeMessage(job);
    ASSERT_TRUE(DecodeMessage(std::string_view(frame).substr(4), back));
    EXPECT_EQ(back.job.parentPid, 4711);
    EXPECT_TRUE(back.job.ask);
    ASSERT_EQ(back.job.ports.size(), 1u);
    EXPECT_EQ(back.job.ports[0].path, "/dev/pts/9");

    // A message cut short, one with bytes left over, an unknown kind, and
    // a length beyond the limit.
    DeviceEvent event;
    const std::string found = EncodeMessage(events[3]).substr(4);
    EXPECT_FALSE(DecodeMessage(std::string_view(found).substr(0, found.size() - 1), event));
    EXPECT_FALSE(DecodeMessage(found + "x", event));
    EXPECT_FALSE(DecodeMessage("\x63", event));
    CFrameReader huge;
    huge.Feed("\xFF\xFF\xFF\x7F", 4);
    EXPECT_EQ(huge.Take(payload), CFrameReader::Next::Broken);
}

class DeviceProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CFirmwareFile file;
        ASSERT_TRUE(file.Open(m_dir.WriteFirmware("fw.CVF", SmallFirmware()).c_str()));
        LoadRequest request;
        request.keepLines = true;
        const LoadResult walk = LoadFirmwareData(file, request);
        ASSERT_TRUE(walk.Good());
        m_block = EncodeFirmwareImage(walk.data, walk.totalBytes, walk.index);
        m_image = CFirmwareImage::Seal(m_block);
    }

    // Turns the supervisor until done(news) says so, or the limit passed.
    bool TurnUntil(CDeviceSupervisor& supervisor, const std::function<bool(const SupervisedEvent&)>& done,
                   std::chrono::milliseconds limit = 20s)
    {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            for (const SupervisedEvent& news : supervisor.Turn(50)) {
                if (done(news))
                    return true;
            }
        }
        return false;
    }

    static bool Is(const SupervisedEvent& news, EventKind kind) { return !news.ended && news.event.kind == kind; }

    // A transfer under way on the device: the id of its device process.
    int StartTransfer(CDeviceSupervisor& supervisor, const CSimDevice& sim)
    {
        DeviceJobSpec job;
        job.ports = {{"COM5", sim.DevicePath()}};
        const int id = supervisor.Start(job, m_image);
        EXPECT_GE(id, 0);
        EXPECT_TRUE(TurnUntil(supervisor, [](const SupervisedEvent& n) { return Is(n, EventKind::TransferStarted); }));
        EXPECT_TRUE(sim.WaitForLog("line 2"));
        return id;
    }

    CTempDir m_dir;
    std::string m_block;
    CFirmwareImage m_image;
};

TEST_F(DeviceProcessTest, LinesNotAsCheckedTouchNoPort)
{
    CSimDevice sim;
    ASSERT_TRUE(sim.IsReady());
    std::string spoilt = m_block;
    spoilt[12] ^= 0x01;  // one data digit of the first line
    const CFirmwareImage image = CFirmwareImage::Seal(spoilt);
    CDeviceSupervisor supervisor(CVF_DEVICE);
    DeviceJobSpec job;
    job.ports = {{"COM5", sim.DevicePath()}};
    ASSERT_GE(supervisor.Start(job, image), 0);
    bool wanted = false;
    bool lost = false;
    ASSERT_TRUE(TurnUntil(supervisor, [&](const SupervisedEvent& news) {
        wanted = wanted || Is(news, EventKind::PortTried) || Is(news, EventKind::Ready);
        lost = news.ended && news.lost;
        return news.ended;
    }));
    EXPECT_TRUE(lost);
    EXPECT_FALSE(wanted);
    EXPECT_EQ(Requests(sim), std::vector<std::string>{});
}

TEST_F(DeviceProcessTest, ALostDeviceProcessLeavesThePortAsItWas)
{
    CSimDevice sim({"--line-time", "50"});
    ASSERT_TRUE(sim.IsReady());
    termios before{};
    const int probe = open(sim.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    ASSERT_EQ(tcgetattr(probe, &before), 0);

    CDeviceSupervisor supervisor(CVF_DEVICE);
    const int id = StartTransfer(supervisor, sim);
    EXPECT_NE(ProbePortState(sim.DevicePath()), PortState::Free) << "the device process holds it";
    kill(supervisor.Pid(id), SIGKILL);
    bool lost = false;
    ASSERT_TRUE(TurnUntil(supervisor, [&](const SupervisedEvent& news) {
        lost = news.ended && news.lost;
        return news.ended;
    }));
    EXPECT_TRUE(lost);
    EXPECT_EQ(ProbePortState(sim.DevicePath()), PortState::Free) << "exclusive still, or locked";
    termios after{};
    ASSERT_EQ(tcgetattr(probe, &after), 0);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    close(probe);
}

TEST_F(DeviceProcessTest, AHungDeviceProcessIsAskedToStopThenKilled)
{
    CSimDevice sim({"--line-time", "50"});
    ASSERT_TRUE(sim.IsReady());
    CDeviceSupervisor supervisor(CVF_DEVICE);
    supervisor.SetLimits({300ms, 300ms});
    const int id = StartTransfer(supervisor, sim);
    kill(supervisor.Pid(id), SIGSTOP);  // hangs: says nothing, hears nothing
    const auto t0 = Clock::now();
    bool lost = false;
    ASSERT_TRUE(TurnUntil(supervisor, [&](const SupervisedEvent& news) {
        lost = news.ended && news.lost;
        return news.ended;
    }));
    EXPECT_TRUE(lost);
    EXPECT_GE(Clock::now() - t0, 600ms) << "killed before the silence and the wind-down had passed";
    EXPECT_EQ(ProbePortState(sim.DevicePath()), PortState::Free);
}

TEST_F(DeviceProcessTest, AFrontEndThatWasNotLookingJudgesNobodyByItsOwnPause)
{
    // The whole job stopped: the front end does not turn for longer than
    // the silence limit while its device process is stopped too.
    CSimDevice sim({"--line-time", "20"});
    ASSERT_TRUE(sim.IsReady());
    CDeviceSupervisor supervisor(CVF_DEVICE);
    supervisor.SetLimits({2500ms, 2500ms});
    const int id = StartTransfer(supervisor, sim);
    kill(supervisor.Pid(id), SIGSTOP);
    // What it said before it stopped is taken first: from here on it is
    // silent.
    supervisor.Turn(200);
    supervisor.Turn(200);
    std::this_thread::sleep_for(3500ms);
    supervisor.Turn(100);  // continued a moment before its device process
    kill(supervisor.Pid(id), SIGCONT);
    int outcome = -1;
    ASSERT_TRUE(TurnUntil(supervisor, [&](const SupervisedEvent& news) {
        if (Is(news, EventKind::Result))
            outcome = news.event.outcome;
        return news.ended;
    }, 30s));
    EXPECT_EQ(outcome, static_cast<int>(Outcome::Done));
    EXPECT_EQ(RequestsAfterLines(sim), std::vector<std::string>{"RST"});
}

}  // namespace
