// CSerialPort over pseudo-terminals made here: the port under test opens
// the slave side, the test plays the device on the master side.

#include "link/SerialPort.h"
#include "link/UucpLock.h"

#include "DeviceRecords.h"
#include "Pty.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <grp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Everything the port receives within `ms`, up to `want` bytes.
std::string ReadPort(CSerialPort& port, size_t want, double ms = 2000)
{
    std::string got;
    const auto start = Clock::now();
    while (got.size() < want && MsSince(start) < ms) {
        if (!port.WaitForInput(50))
            continue;
        char buf[256];
        const size_t n = port.Read(buf, sizeof buf);
        got.append(buf, n);
    }
    return got;
}

void OpenDeviceSettings(CSerialPort& port, const std::string& path)
{
    port.Open(path, 57600, ParityNone, 8, StopBitsOne, FlowNone, false);
}

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.Ok()) << "no pseudo-terminal: " << std::strerror(errno); }
    Pty pty;
};

TEST_F(SerialPortTest, OpenSetsRawDeviceLineAndCloseRestores)
{
    const termios before = pty.SlaveSettings();
    ASSERT_TRUE(before.c_lflag & ICANON);  // a fresh pty starts cooked

    CSerialPort port;
    OpenDeviceSettings(port, pty.Path());
    ASSERT_TRUE(port.IsOpen());

    const termios tio = pty.SlaveSettings();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B57600));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B57600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);

    SerialState state;
    port.GetState(state);
    EXPECT_EQ(state.BaudRate, 57600u);
    EXPECT_EQ(state.ByteSize, 8);
    EXPECT_EQ(state.Parity, StateParity::None);
    EXPECT_EQ(state.StopBits, StopBitsChoice::One);
    EXPECT_FALSE(state.fOutxCtsFlow || state.fOutxDsrFlow || state.fOutX || state.fInX);

    port.Close();
    EXPECT_FALSE(port.IsOpen());
    const termios after = pty.SlaveSettings();
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    int excl = -1;
    ASSERT_EQ(ioctl(pty.Slave(), TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0) << "the exclusive flag outlived Close";

    port.Close();  // closed already: nothing happens
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialPortTest, ControlBytesPassUnchangedBothWays)
{
    CSerialPort port;
    OpenDeviceSettings(port, pty.Path());
    std::string bytes = "\x04\x0D\x0A\x11\x13\x03\x1A\x7F\xFF|A";
    bytes.push_back('\0');
    bytes += "\x0D\x04";

    pty.WriteMaster(bytes);
    EXPECT_EQ(ReadPort(port, bytes.size()), bytes);

    EXPECT_EQ(port.Write(bytes.data(), bytes.size()), bytes.size());
    EXPECT_EQ(pty.ReadMaster(bytes.size()), bytes);
    // Nothing echoed back, nothing more to read.
    EXPECT_FALSE(port.WaitForInput(20));
    char c;
    EXPECT_EQ(port.Read(&c, 1), 0u);
}

// What a pseudo-terminal keeps of the line settings reaches it.
TEST_F(SerialPortTest, LineChoicesReachThePort)
{
    CSerialPort port;
    port.Open(pty.Path(), 9600, ParityChoice::Mark, 8, StopBitsChoice::Two, FlowControlChoice::CtsRts);
    termios tio = pty.SlaveSettings();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & (PARODD | CMSPAR | CSTOPB | CRTSCTS),
              static_cast<tcflag_t>(PARODD | CMSPAR | CSTOPB | CRTSCTS));
    SerialState state;
    port.GetState(state);
    EXPECT_EQ(state.BaudRate, 9600u);
    EXPECT_EQ(state.StopBits, StopBitsChoice::Two);
    EXPECT_TRUE(state.fOutxCtsFlow);
    port.Close();

    port.Open(pty.Path(), 57600, ParityChoice::None, 8, StopBitsChoice::One, FlowControlChoice::XonXoff);
    tio = pty.SlaveSettings();
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
    port.Close();

    port.Open(pty.Path(), 57600, ParityChoice::None, 8, StopBitsChoice::One, FlowControlChoice::DsrDtr);
    port.GetState(state);
    EXPECT_TRUE(state.fOutxDsrFlow);
    EXPECT_FALSE(state.fOutxCtsFlow || state.fOutX || state.fInX);
}

TEST_F(SerialPortTest, ChoiceOutsideItsTableLeavesTheSetting)
{
    termios tio = pty.SlaveSettings();
    tio.c_cflag |= PARODD | CMSPAR | CSTOPB | CRTSCTS;
    tio.c_iflag |= IXON | IXOFF;
    ASSERT_EQ(tcsetattr(pty.Slave(), TCSANOW, &tio), 0);

    CSerialPort port;
    port.Open(pty.Path(), 57600, static_cast<ParityChoice>(7), 8, static_cast<StopBitsChoice>(7),
              static_cast<FlowControlChoice>(9));
    const termios got = pty.SlaveSettings();
    EXPECT_EQ(got.c_cflag & (PARODD | CMSPAR), static_cast<tcflag_t>(PARODD | CMSPAR));
    EXPECT_TRUE(got.c_cflag & CSTOPB);
    EXPECT_TRUE(got.c_cflag & CRTSCTS);
    EXPECT_EQ(got.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(got.c_lflag & ICANON, 0u);  // raw all the same
}

TEST_F(SerialPortTest, BadSettingsOrPathFailAndLeaveThePortClosed)
{
    const termios before = pty.SlaveSettings();
    CSerialPort port;
    for (auto [baud, bits] : {std::pair<uint32_t, uint8_t>{12345, 8}, {57600, 9}}) {
        try {
            port.Open(pty.Path(), baud, ParityNone, bits, StopBitsOne, FlowNone);
            ADD_FAILURE() << "Open accepted " << baud << " baud, " << int(bits) << " bits";
        } catch (const CSerialException& e) {
            EXPECT_EQ(e.m_error, EINVAL);
        }
        EXPECT_FALSE(port.IsOpen());
    }
    // Nothing of the refused attempts stuck to the line.
    const termios after = pty.SlaveSettings();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(CSerialPort::ProbePort(pty.Path()), 0);

    try {
        port.Open("/dev/nonexistent-serial-port", 57600, ParityNone, 8, StopBitsOne, FlowNone);
        ADD_FAILURE() << "Open of a missing path succeeded";
    } catch (const CSerialException& e) {
        EXPECT_EQ(e.m_error, ENOENT);
        EXPECT_EQ(e.GetErrorMessage(), std::strerror(ENOENT));
        EXPECT_STREQ(e.what(), std::strerror(ENOENT));
    }
    EXPECT_FALSE(port.IsOpen());

    // Not a terminal at all.
    EXPECT_THROW(port.Open("/dev/null", 57600, ParityNone, 8, StopBitsOne, FlowNone), CSerialException);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(CSerialPort::ProbePort("/dev/null"), -1);

    // Calls on a closed port fail rather than touch descriptor -1.
    char c;
    EXPECT_THROW(port.Read(&c, 1), CSerialException);
    EXPECT_THROW(port.Write(&c, 1), CSerialException);
    EXPECT_THROW(port.WaitForInput(1), CSerialException);
}

TEST_F(SerialPortTest, SecondOpenerIsRefusedAndProbeSeesThePortHeld)
{
    EXPECT_EQ(CSerialPort::ProbePort(pty.Path()), 0);
    EXPECT_EQ(CSerialPort::ProbePort(pty.Path() + "-missing"), 1);

    CSerialPort first;
    OpenDeviceSettings(first, pty.Path());
    EXPECT_EQ(CSerialPort::ProbePort(pty.Path()), 2);

    CSerialPort second;
    try {
        OpenDeviceSettings(second, pty.Path());
        ADD_FAILURE() << "second opener was let in";
    } catch (const CSerialException& e) {
        EXPECT_EQ(e.m_error, EBUSY);
    }
    EXPECT_FALSE(second.IsOpen());

    // The refused opener left the holder's exclusive flag and settings alone.
    int excl = 0;
    ASSERT_EQ(ioctl(pty.Slave(), TIOCGEXCL, &excl), 0);
    EXPECT_NE(excl, 0);
    EXPECT_EQ(pty.SlaveSettings().c_lflag & ICANON, 0u);
    pty.WriteMaster("x");
    EXPECT_EQ(ReadPort(first, 1), "x");

    first.Close();
    EXPECT_EQ(CSerialPort::ProbePort(pty.Path()), 0);
    OpenDeviceSettings(second, pty.Path());
    EXPECT_TRUE(second.IsOpen());
    // Opening an open port again gives up the old descriptor first.
    OpenDeviceSettings(second, pty.Path());
    EXPECT_TRUE(second.IsOpen());
}

// Root gets through another program's TIOCEXCL at open(); the port is
// still that program's, and its exclusive mode must outlast our attempt.
TEST_F(SerialPortTest, PortInAnotherProgramsExclusiveModeIsBusy)
{
    ASSERT_EQ(ioctl(pty.Slave(), TIOCEXCL), 0);
    const termios before = pty.SlaveSettings();

    int reason = 0;
    EXPECT_EQ(CSerialPort::ProbePort(pty.Path(), &reason), 2);
    EXPECT_EQ(reason, EBUSY);

    CSerialPort port;
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            OpenDeviceSettings(port, pty.Path());
            ADD_FAILURE() << "Open took a port held in exclusive mode";
        } catch (const CSerialException& e) {
            EXPECT_EQ(e.m_error, EBUSY);
        }
        EXPECT_FALSE(port.IsOpen());
        int excl = 0;
        ASSERT_EQ(ioctl(pty.Slave(), TIOCGEXCL, &excl), 0);
        EXPECT_NE(excl, 0) << "the holder lost its exclusive mode";
    }
    const termios after = pty.SlaveSettings();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);

    // Given up by the holder, the port is free to both.
    ASSERT_EQ(ioctl(pty.Slave(), TIOCNXCL), 0);
    EXPECT_EQ(CSerialPort::ProbePort(pty.Path()), 0);
    OpenDeviceSettings(port, pty.Path());
    EXPECT_TRUE(port.IsOpen());
}

// A terminal program marks the port with a UUCP lock file instead.
TEST_F(SerialPortTest, PortWithALiveUucpLockFileIsBusy)
{
    EXPECT_EQ(UucpLockName("/dev/ttyUSB0"), "LCK..ttyUSB0");
    EXPECT_EQ(UucpLockName("/dev/pts/3"), "LCK..3");
    EXPECT_EQ(GetUucpLockDirectories(), (std::vector<std::string>{"/run/lock", "/var/lock"}));

    CTempDir dirs;
    const std::string other = dirs.Path() + "/empty";
    ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
    const std::string locks = dirs.Path() + "/locks";
    ASSERT_EQ(mkdir(locks.c_str(), 0700), 0);
    SetUucpLockDirectories({other, locks});
    struct Restore {
        ~Restore() { SetUucpLockDirectories({"/run/lock", "/var/lock"}); }
    } restore;

    const std::string lockFile = locks + "/" + UucpLockName(pty.Path());
    const std::string viaLink = dirs.Path() + "/ttyLINK";
    ASSERT_EQ(symlink(pty.Path().c_str(), viaLink.c_str()), 0);
    const termios before = pty.SlaveSettings();
    char ascii[16];
    std::snprintf(ascii, sizeof ascii, "%10d\n", static_cast<int>(getpid()));
    const int32_t binaryPid = getpid();
    const int32_t deadPid = 0x00FFFFF0;  // above any pid the kernel hands out (2^22 at most)

    struct Case {
        const char* what;
        std::string bytes;
        bool busy;
    };
    const Case cases[] = {
        {"ascii pid", ascii, true},
        {"ascii pid, program and user", std::to_string(getpid()) + " term user\n", true},
        {"binary pid", std::string(reinterpret_cast<const char*>(&binaryPid), 4), true},
        {"dead pid", std::to_string(deadPid) + "\n", false},
        {"dead binary pid", std::string(reinterpret_cast<const char*>(&deadPid), 4), false},
        {"no pid", "locked\n", false},
        {"pid run into text", std::to_string(getpid()) + "x\n", false},
        {"empty", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        dirs.Write("locks/" + UucpLockName(pty.Path()), c.bytes);
        for (const std::string& path : {pty.Path(), viaLink}) {
            int reason = -1;
            EXPECT_EQ(CSerialPort::ProbePort(path, &reason), c.busy ? 2 : 0) << path;
            EXPECT_EQ(reason, c.busy ? EBUSY : 0);
        }
        CSerialPort port;
        try {
            OpenDeviceSettings(port, pty.Path());
            EXPECT_FALSE(c.busy) << "Open took a port with a live lock file";
        } catch (const CSerialException& e) {
            EXPECT_TRUE(c.busy) << e.what();
            EXPECT_EQ(e.m_error, EBUSY);
        }
        EXPECT_EQ(port.IsOpen(), !c.busy);
        port.Close();
        EXPECT_EQ(pty.SlaveSettings().c_lflag, before.c_lflag);
        EXPECT_EQ(access(lockFile.c_str(), F_OK), 0) << "the lock file was removed";
    }

    // Odd entries under the name are not lock files: nothing blocks on a
    // pipe, nothing follows a link to a file with a live pid.
    ASSERT_EQ(unlink(lockFile.c_str()), 0);
    ASSERT_EQ(mkfifo(lockFile.c_str(), 0600), 0);
    EXPECT_EQ(CSerialPort::ProbePort(pty.Path()), 0);
    ASSERT_EQ(unlink(lockFile.c_str()), 0);
    ASSERT_EQ(symlink(dirs.Write("live", ascii).c_str(), lockFile.c_str()), 0);
    EXPECT_EQ(CSerialPort::ProbePort(pty.Path()), 0);
}

TEST_F(SerialPortTest, ALockOfAnotherUsersLiveProcessHoldsThePortForUsToo)
{
    // The lock names a process this one may not signal (EPERM): it is
    // alive all the same. Root may signal anyone, so the check runs as
    // nobody when the test is root; pid 1 belongs to another user then.
    CTempDir dirs;
    const std::string locks = dirs.Path() + "/locks";
    ASSERT_EQ(mkdir(locks.c_str(), 0755), 0);
    ASSERT_EQ(chmod(dirs.Path().c_str(), 0755), 0);
    const std::string lockFile = dirs.Write("locks/" + UucpLockName(pty.Path()), "1\n");
    ASSERT_EQ(chmod(lockFile.c_str(), 0644), 0);
    SetUucpLockDirectories({locks});
    struct Restore {
        ~Restore() { SetUucpLockDirectories({"/run/lock", "/var/lock"}); }
    } restore;

    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        _exit(IsUucpLocked(pty.Path()) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a live process of another user was taken as gone";
}

TEST_F(SerialPortTest, WaitForInputTimesOutOrWakesOnData)
{
    CSerialPort port;
    OpenDeviceSettings(port, pty.Path());

    auto start = Clock::now();
    EXPECT_FALSE(port.WaitForInput(60));
    EXPECT_GE(MsSince(start), 55);
    EXPECT_FALSE(port.WaitForInput(0));

    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty.WriteMaster("ok");
    });
    start = Clock::now();
    const bool got = port.WaitForInput(5000);
    const double waited = MsSince(start);
    device.join();
    EXPECT_TRUE(got);
    EXPECT_LT(waited, 2500);
    EXPECT_EQ(ReadPort(port, 2), "ok");
}

TEST_F(SerialPortTest, HangupThrowsInsteadOfSpinning)
{
    CSerialPort port;
    OpenDeviceSettings(port, pty.Path());
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty.CloseMaster();
    });
    const auto start = Clock::now();
    try {
        port.WaitForInput(5000);
        ADD_FAILURE() << "WaitForInput survived the hang-up";
    } catch (const CSerialException& e) {
        EXPECT_EQ(e.m_error, EIO);
    }
    device.join();
    EXPECT_LT(MsSince(start), 2500);

    char buf[16];
    EXPECT_THROW(port.Read(buf, sizeof buf), CSerialException);
    EXPECT_THROW(port.Write("x", 1), CSerialException);
    port.Close();  // a hung-up port still closes quietly
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialPortTest, WriteTimeoutAndPurge)
{
    CSerialPort port;
    OpenDeviceSettings(port, pty.Path());
    SerialTimeouts t;
    port.GetTimeouts(t);
    t.WriteTotalTimeoutConstant = 100;
    port.SetTimeouts(t);

    // Nobody reads the master: the write stops at its time limit, and at
    // the caller's when that is shorter.
    const std::vector<char> big(1 << 20, 'x');
    auto start = Clock::now();
    const size_t written = port.Write(big.data(), big.size());
    EXPECT_LT(written, big.size());
    EXPECT_GT(written, 0u);
    EXPECT_LT(MsSince(start), 2500);
    start = Clock::now();
    EXPECT_EQ(port.Write(big.data(), big.size(), 20), 0u);
    const double waited = MsSince(start);
    EXPECT_GE(waited, 15);
    EXPECT_LT(waited, 90);
    // With output still queued, Close returns at once.
    start = Clock::now();
    port.Close();
    EXPECT_LT(MsSince(start), 50);
    OpenDeviceSettings(port, pty.Path());

    port.ClearWriteBuffer();
    pty.WriteMaster("stale");
    ASSERT_TRUE(port.WaitForInput(1000));
    EXPECT_NO_THROW(port.Purge(PURGE_TXABORT | PURGE_RXABORT));  // kept, does nothing
    port.ClearReadBuffer();
    char buf[16];
    EXPECT_EQ(port.Read(buf, sizeof buf), 0u);
}

TEST_F(SerialPortTest, SetStateChangesTheLine)
{
    CSerialPort port;
    OpenDeviceSettings(port, pty.Path());
    SerialState s;
    port.GetState(s);
    s.BaudRate = 115200;
    s.Parity = StateParity::Mark;  // the pty keeps PARODD and CMSPAR, not PARENB
    s.StopBits = StopBitsChoice::Two;
    s.fOutX = s.fInX = true;
    port.SetState(s);
    const termios tio = pty.SlaveSettings();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & (PARODD | CMSPAR), static_cast<tcflag_t>(PARODD | CMSPAR));
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));

    s.BaudRate = 1234;
    EXPECT_THROW(port.SetState(s), CSerialException);
}

}  // namespace
