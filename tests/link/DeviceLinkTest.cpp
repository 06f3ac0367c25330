#include "link/DeviceLink.h"
#include "link/Frame.h"

#include "DeviceRecords.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string Line(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Line(const char* format, ...)
{
    char body[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(body, sizeof body, format, args);
    va_end(args);
    return MakeRequest(body);
}

// Firmware lines in the layout the file maker writes.
std::string BlockStart(int block, unsigned sum, unsigned address, const std::string& data)
{
    return Line("FWBS|%02X|%02zX|%04X|%04X|%s|", block, data.size() / 2, sum, address, data.c_str());
}

std::string DataLine(int block, unsigned address, const std::string& data)
{
    return Line("FWDL|%02X|%02zX|%04X|%s|", block, data.size() / 2, address, data.c_str());
}

std::string Marker(int block)
{
    return Line("FWXXX|%02X|", block);
}

const std::string kAsp = MakeRequest(REQUEST_STATUS);
const std::string kPsd = MakeRequest(REQUEST_INDEX);
const std::string kEae = MakeRequest(REQUEST_VERSION);
const std::string kFirstLine = BlockStart(0, 0x0006, 0x0100, "0102");

// A link to the simulated device.
struct Linked {
    explicit Linked(const std::vector<std::string>& args = {}, bool paced = false) : sim(args, paced)
    {
        link.m_strPort = "COM5";
        link.m_strPortPath = sim.DevicePath();
    }
    CSimDevice sim;
    CDeviceLink link;
};

bool PortLockIsFree()
{
    if (!g_portLock.try_lock())
        return false;
    g_portLock.unlock();
    return true;
}


}  // namespace

TEST(DeviceSimulator, PublishesItsPortAndRemovesItOnExit)
{
    CSimDevice sim({}, false, "COM3");
    ASSERT_TRUE(sim.IsReady()) << sim.ReadyLine();
    EXPECT_EQ(sim.ReadyLine(), "ready COM3 " + sim.DevicePath());
    char target[256] = {};
    ASSERT_GT(readlink(sim.LinkPath().c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), sim.DevicePath());
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_NE(access(sim.LinkPath().c_str(), F_OK), 0);
}

TEST(DeviceSimulator, RefusesAWrongCommandLine)
{
    CSimDevice sim({"--fault", "sometimes:1"});
    EXPECT_FALSE(sim.IsReady());
    EXPECT_EQ(sim.Stop(), 2);
}

TEST(DeviceSimulator, AsksAgainForAFrameWithABadChecksum)
{
    Linked d;
    ASSERT_TRUE(d.sim.IsReady());
    EXPECT_EQ(d.link.Transact(std::string("ASP|61\x04"), 3000), STATUS_REJECTED);
    EXPECT_EQ(d.sim.CountLogLines("RX ASP|61<04> bad-checksum"), 1);
}

TEST(DeviceSimulator, SeesTheDeviceLineSettings)
{
    Linked d({"--report-settings", "settings.txt"});
    ASSERT_TRUE(d.sim.IsReady());
    // A pseudo-terminal shows baud rate, stop bits and flow control as the
    // client set them; it always shows 8 data bits and no parity.
    EXPECT_EQ(d.link.Transact(kAsp, 3000), '0');
    const std::string settings = ReadFile(d.sim.File("settings.txt"));
    EXPECT_EQ(settings, "baud=57600 data=8 parity=none stop=1 flow=none\n");
}

// Each status the device can give, through both kinds of exchange.
struct StatusCase {
    const char* name;
    std::vector<std::string> args;
    std::string request;
    uint32_t timeoutMs;
    uint8_t expected;
};

void PrintTo(const StatusCase& c, std::ostream* os)
{
    *os << c.name;
}

class DeviceStatus : public testing::TestWithParam<StatusCase> {};

TEST_P(DeviceStatus, ComesBackFromTransactAndTransactOnOpenPort)
{
    const StatusCase& c = GetParam();
    Linked d(c.args);
    ASSERT_TRUE(d.sim.IsReady());

    EXPECT_EQ(d.link.Transact(c.request, c.timeoutMs), c.expected);
    EXPECT_FALSE(d.link.IsPortOpen());
    EXPECT_TRUE(PortLockIsFree());

    ASSERT_TRUE(d.link.OpenDevicePort());
    EXPECT_TRUE(d.link.OpenDevicePort());  // already open: no second lock
    EXPECT_EQ(d.link.TransactOnOpenPort(c.request, c.timeoutMs), c.expected);
    EXPECT_TRUE(d.link.IsPortOpen());
    d.link.CloseDevicePort();
    EXPECT_TRUE(PortLockIsFree());
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceStatus,
    testing::Values(
        StatusCase{"AspPresent", {}, kAsp, 3000, '0'},
        StatusCase{"AspComplete", {"--asp-cf"}, kAsp, 3000, 0xCF},
        StatusCase{"AspNotInUpdateMode", {"--no-update-mode"}, kAsp, 200, TRANSACT_TIMEOUT},
        StatusCase{"LineAccepted", {}, kFirstLine, 3000, 'A'},
        StatusCase{"BlockDone", {}, Marker(0), 3000, '3'},
        StatusCase{"LineRejected", {"--fault", "reject:1:always"}, kFirstLine, 3000, '0'},
        StatusCase{"FlashError", {"--fault", "flash:1:always"}, kFirstLine, 3000, '2'},
        StatusCase{"UpdateComplete", {"--fault", "cf:1:always"}, kFirstLine, 3000, 0xCF},
        StatusCase{"Silence", {"--fault", "silence:1:always"}, kFirstLine, 200, TRANSACT_TIMEOUT},
        StatusCase{"BadChecksum", {"--fault", "badsum:1:always"}, kFirstLine, 3000,
                   TRANSACT_BAD_CHECKSUM},
        StatusCase{"InPieces", {"--fault", "bytewise:ASP:always"}, kAsp, 3000, '0'},
        StatusCase{"AfterGarbage", {"--fault", "garbage:ASP:always"}, kAsp, 3000,
                   TRANSACT_BAD_CHECKSUM},
        StatusCase{"AfterStrayEot", {"--fault", "eot:ASP:always"}, kAsp, 300, TRANSACT_TIMEOUT},
        StatusCase{"EndlessStream", {"--fault", "stream:ASP:always"}, kAsp, 10000,
                   TRANSACT_BAD_CHECKSUM}),
    [](const testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

TEST(DeviceExchange, BytesAfterTheEotAreNotSeenByTheNextExchange)
{
    // The device puts a complete "2" reply right behind each "0" reply.
    Linked d({"--fault", "trailing:ASP:always"});
    ASSERT_TRUE(d.sim.IsReady());
    EXPECT_EQ(d.link.Transact(kAsp, 3000), '0');
    EXPECT_EQ(d.link.Transact(kAsp, 3000), '0');
    ASSERT_TRUE(d.link.OpenDevicePort());
    EXPECT_EQ(d.link.TransactOnOpenPort(kAsp, 3000), '0');
    EXPECT_EQ(d.link.TransactOnOpenPort(kAsp, 3000), '0');
    d.link.CloseDevicePort();
}

TEST(DeviceExchange, ZeroTimeoutWritesAndTimesOut)
{
    Linked d;
    ASSERT_TRUE(d.sim.IsReady());
    EXPECT_EQ(d.link.Transact(kAsp, 0), TRANSACT_TIMEOUT);
    EXPECT_TRUE(d.sim.WaitForLog("RX ASP|"));
}

TEST(DeviceExchange, MissingOrHeldPortFailsAtOnceAndLeavesTheLockFree)
{
    Linked d;
    ASSERT_TRUE(d.sim.IsReady());

    CDeviceLink missing;
    missing.m_strPortPath = d.sim.File("no-such-port");
    auto start = Clock::now();
    EXPECT_EQ(missing.Transact(kAsp, 5000), TRANSACT_FAILED);
    EXPECT_EQ(missing.QueryField(kPsd), "");
    EXPECT_LT(MillisecondsSince(start), 1000.0);
    EXPECT_TRUE(PortLockIsFree());

    CSerialPort other;
    other.Open(d.sim.DevicePath(), 9600, ParityNone, 8, StopBitsOne, FlowNone);
    start = Clock::now();
    EXPECT_EQ(d.link.Transact(kAsp, 5000), TRANSACT_FAILED);
    EXPECT_FALSE(d.link.OpenDevicePort());
    EXPECT_LT(MillisecondsSince(start), 1000.0);
    EXPECT_TRUE(PortLockIsFree());
    other.Close();

    // A program that takes no lock but holds the terminal in exclusive mode.
    const int holder = open(d.sim.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);
    EXPECT_EQ(d.link.Transact(kAsp, 5000), TRANSACT_FAILED);
    EXPECT_EQ(d.link.QueryField(kPsd), "");
    EXPECT_TRUE(PortLockIsFree());
    int excl = 0;
    ASSERT_EQ(ioctl(holder, TIOCGEXCL, &excl), 0);
    EXPECT_NE(excl, 0);
    EXPECT_FALSE(d.sim.WaitForLog("RX ", 100)) << "the request reached the device";
    ioctl(holder, TIOCNXCL);
    close(holder);

    EXPECT_EQ(d.link.Transact(kAsp, 3000), '0');
}

// The port and the lock belong to the thread that opened them, not to the
// link: a second thread on the same link neither closes them nor gets in
// before the first thread closes.
TEST(DeviceExchange, SecondThreadOnOneLinkWaitsForThePort)
{
    Linked d;
    ASSERT_TRUE(d.sim.IsReady());
    ASSERT_TRUE(d.link.OpenDevicePort());

    std::atomic<bool> closeTried{false};
    std::atomic<bool> opened{false};
    uint8_t othersStatus = 0;
    std::thread other([&] {
        EXPECT_EQ(d.link.TransactOnOpenPort(kAsp, 1000), TRANSACT_FAILED);  // not its port
        d.link.CloseDevicePort();
        closeTried = true;
        opened = d.link.OpenDevicePort();
        othersStatus = d.link.TransactOnOpenPort(kAsp, 3000);
        d.link.CloseDevicePort();
    });
    while (!closeTried)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(opened) << "the second thread got past the lock";
    EXPECT_TRUE(d.link.IsPortOpen());
    EXPECT_EQ(d.link.TransactOnOpenPort(kAsp, 3000), '0');
    d.link.CloseDevicePort();
    other.join();
    EXPECT_TRUE(opened);
    EXPECT_EQ(othersStatus, '0');
    EXPECT_FALSE(d.link.IsPortOpen());
    EXPECT_TRUE(PortLockIsFree());
}

TEST(DeviceExchange, ClosedPortFailsOnOpenPortExchange)
{
    CDeviceLink link;
    EXPECT_EQ(link.TransactOnOpenPort(kAsp, 1000), TRANSACT_FAILED);
}

TEST(DeviceExchange, HangUpEndsTheExchangeAtOnce)
{
    Linked d({"--fault", "hangup:2"});
    ASSERT_TRUE(d.sim.IsReady());
    ASSERT_TRUE(d.link.OpenDevicePort());
    EXPECT_EQ(d.link.TransactOnOpenPort(kFirstLine, LINE_TIMEOUT_MS), 'A');
    const auto start = Clock::now();
    EXPECT_EQ(d.link.TransactOnOpenPort(DataLine(0, 0x0102, "03"), LINE_TIMEOUT_MS), TRANSACT_FAILED);
    EXPECT_EQ(d.link.TransactOnOpenPort(Marker(0), LINE_TIMEOUT_MS), TRANSACT_FAILED);
    EXPECT_LT(MillisecondsSince(start), 3000.0);
    d.link.CloseDevicePort();
    EXPECT_TRUE(PortLockIsFree());
    EXPECT_EQ(d.link.Transact(kAsp, 1000), TRANSACT_FAILED);
}

TEST(DeviceQuery, ReturnsFieldOne)
{
    Linked d({"--index", "IDX-42", "--version", "V1"});
    ASSERT_TRUE(d.sim.IsReady());
    EXPECT_EQ(d.link.QueryField(kPsd), "IDX-42");
    EXPECT_EQ(d.link.QueryField(kEae), "V1");
    EXPECT_EQ(d.link.QueryField(kAsp), "0");
    EXPECT_TRUE(PortLockIsFree());
}

TEST(DeviceQuery, EmptyFieldAndBadReplyGiveEmptyText)
{
    Linked d({"--version", "", "--fault", "badsum:PSD"});
    ASSERT_TRUE(d.sim.IsReady());
    EXPECT_EQ(d.link.QueryField(kEae), "");
    EXPECT_EQ(d.link.QueryField(kPsd), "");
    EXPECT_EQ(d.link.QueryField(kPsd), "CVF-DEMO-0001");
}

TEST(DeviceCommands, CheckDeviceIndexComparesExactlyOnEveryAttempt)
{
    {
        Linked d({"--index", "CVF-7"});
        ASSERT_TRUE(d.sim.IsReady());
        d.link.m_fileIndex = [] { return std::string("CVF-7"); };
        EXPECT_TRUE(d.link.CheckDeviceIndex());
        EXPECT_EQ(d.sim.CountLogLines("RX PSD|"), 1);
    }
    {
        // Right only on the third attempt.
        Linked d({"--index", "CVF-7", "--fault", "wrongindex:PSD:2"});
        ASSERT_TRUE(d.sim.IsReady());
        int reads = 0;
        d.link.m_fileIndex = [&reads] { ++reads; return std::string("CVF-7"); };
        EXPECT_TRUE(d.link.CheckDeviceIndex());
        EXPECT_EQ(d.sim.CountLogLines("RX PSD|"), 3);
        EXPECT_EQ(reads, 3);
    }
    {
        Linked d({"--index", "cvf-7"});
        ASSERT_TRUE(d.sim.IsReady());
        d.link.m_fileIndex = [] { return std::string("CVF-7"); };
        EXPECT_FALSE(d.link.CheckDeviceIndex());
        EXPECT_EQ(d.sim.CountLogLines("RX PSD|"), 3);
    }
    {
        // An empty answer never matches, not even a file without index.
        Linked d({"--index", ""});
        ASSERT_TRUE(d.sim.IsReady());
        d.link.m_fileIndex = [] { return std::string(); };
        EXPECT_FALSE(d.link.CheckDeviceIndex());
    }
}

TEST(DeviceCommands, ReadDeviceVersionSplitsIntoHalves)
{
    {
        Linked d({"--version", "ABCDEFGH"});
        ASSERT_TRUE(d.sim.IsReady());
        EXPECT_TRUE(d.link.ReadDeviceVersion());
        EXPECT_EQ(d.link.m_strDeviceVersion1, "ABCD");
        EXPECT_EQ(d.link.m_strDeviceVersion2, "EFGH");
        EXPECT_EQ(d.sim.CountLogLines("RX EAE|"), 1);
    }
    {
        Linked d({"--version", "ABCDEFG"});
        ASSERT_TRUE(d.sim.IsReady());
        EXPECT_TRUE(d.link.ReadDeviceVersion());
        EXPECT_EQ(d.link.m_strDeviceVersion1, "ABC");
        EXPECT_EQ(d.link.m_strDeviceVersion2, "EFG");
    }
}

TEST(DeviceCommands, ReadDeviceVersionRejectsMissingAndFfVersions)
{
    {
        Linked d({"--version", "V1.0\\xFFV1.0"});
        ASSERT_TRUE(d.sim.IsReady());
        d.link.m_strDeviceVersion1 = d.link.m_strDeviceVersion2 = "old";
        EXPECT_FALSE(d.link.ReadDeviceVersion());
        EXPECT_EQ(d.link.m_strDeviceVersion1, "");
        EXPECT_EQ(d.link.m_strDeviceVersion2, "");
        EXPECT_EQ(d.sim.CountLogLines("RX EAE|"), 1);
    }
    {
        Linked d({"--version", ""});
        ASSERT_TRUE(d.sim.IsReady());
        d.link.m_strDeviceVersion1 = d.link.m_strDeviceVersion2 = "old";
        EXPECT_FALSE(d.link.ReadDeviceVersion());
        EXPECT_EQ(d.link.m_strDeviceVersion1, "");
        EXPECT_EQ(d.sim.CountLogLines("RX EAE|"), 3);
    }
    {
        // Empty twice, then an answer: the third attempt counts.
        Linked d({"--version", "12345", "--fault", "noversion:EAE:2"});
        ASSERT_TRUE(d.sim.IsReady());
        EXPECT_TRUE(d.link.ReadDeviceVersion());
        EXPECT_EQ(d.link.m_strDeviceVersion1, "12");
        EXPECT_EQ(d.link.m_strDeviceVersion2, "45");
        EXPECT_EQ(d.sim.CountLogLines("RX EAE|"), 3);
    }
}

TEST(DeviceCommands, SendRestartGivesUpAfterItsTimeout)
{
    Linked d({"--fault", "silence:RST:always"});
    ASSERT_TRUE(d.sim.IsReady());
    const auto start = Clock::now();
    d.link.SendRestart();
    const double ms = MillisecondsSince(start);
    EXPECT_GE(ms, 400.0);
    EXPECT_LT(ms, 3000.0);
    EXPECT_EQ(d.sim.CountLogLines("RX RST|75<04>"), 1);
    EXPECT_TRUE(PortLockIsFree());
}

TEST(DeviceCommands, PauseBeforeLineLastsMoreThanFourMilliseconds)
{
    const auto start = Clock::now();
    CDeviceLink().PauseBeforeLine();
    EXPECT_GT(MillisecondsSince(start), LINE_PAUSE_MS);
}

TEST(DeviceTransfer, LinesBuildTheDeviceImage)
{
    // Two blocks; the device paces its replies like a real line and takes
    // 5 ms per line.
    const std::vector<std::string> lines = {
        BlockStart(0, 0x0006, 0x0100, "0102"),
        DataLine(0, 0x0102, "03"),
        Marker(0),
        BlockStart(1, 0x02FD, 0xFFFE, "FFFF"),  // wraps to 0x0000
        DataLine(1, 0x0000, "aa55"),
        Marker(1),
    };
    Linked d({"--image-out", "image.txt", "--line-time", "5"}, true);
    ASSERT_TRUE(d.sim.IsReady());
    ASSERT_TRUE(d.link.OpenDevicePort());
    std::string statuses;
    for (const std::string& line : lines) {
        if (!d.link.IsPortOpen()) {
            ASSERT_TRUE(d.link.OpenDevicePort());
        }
        CDeviceLink().PauseBeforeLine();
        const auto start = Clock::now();
        const uint8_t status = d.link.TransactOnOpenPort(line, LINE_TIMEOUT_MS);
        EXPECT_GE(MillisecondsSince(start), 5.0);
        statuses += static_cast<char>(status);
        if (status == STATUS_BLOCK_DONE)
            d.link.CloseDevicePort();
    }
    if (d.link.IsPortOpen())
        d.link.CloseDevicePort();
    EXPECT_EQ(statuses, "AA3AA3");
    EXPECT_EQ(d.sim.CountLogLines("block-sum-error"), 0);

    const std::map<unsigned, unsigned> expected = {
        {0x0100, 0x01}, {0x0101, 0x02}, {0x0102, 0x03},
        {0xFFFE, 0xFF}, {0xFFFF, 0xFF}, {0x0000, 0xAA}, {0x0001, 0x55},
    };
    EXPECT_EQ(ReadDeviceImage(d.sim.File("image.txt")), expected);
}

TEST(DeviceTransfer, BlockWithWrongSumEndsWithFlashError)
{
    Linked d;
    ASSERT_TRUE(d.sim.IsReady());
    ASSERT_TRUE(d.link.OpenDevicePort());
    EXPECT_EQ(d.link.TransactOnOpenPort(BlockStart(0, 0x0007, 0x0100, "0102"), 3000), 'A');
    EXPECT_EQ(d.link.TransactOnOpenPort(DataLine(0, 0x0102, "03"), 3000), 'A');
    EXPECT_EQ(d.link.TransactOnOpenPort(Marker(0), 3000), '2');
    d.link.CloseDevicePort();
    EXPECT_EQ(d.sim.CountLogLines("block-sum-error expected 0007 got 0006"), 1);
}

TEST(DeviceTransfer, RejectedLineIsTakenWhenSentAgain)
{
    Linked d({"--fault", "reject:2:3"});
    ASSERT_TRUE(d.sim.IsReady());
    ASSERT_TRUE(d.link.OpenDevicePort());
    EXPECT_EQ(d.link.TransactOnOpenPort(kFirstLine, 3000), 'A');
    const std::string second = DataLine(0, 0x0102, "03");
    EXPECT_EQ(d.link.TransactOnOpenPort(second, 3000), '0');
    EXPECT_EQ(d.link.TransactOnOpenPort(second, 3000), '0');
    EXPECT_EQ(d.link.TransactOnOpenPort(second, 3000), '0');
    EXPECT_EQ(d.link.TransactOnOpenPort(second, 3000), 'A');
    EXPECT_EQ(d.link.TransactOnOpenPort(Marker(0), 3000), '3');
    d.link.CloseDevicePort();
}
