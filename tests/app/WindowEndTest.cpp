// The window ended the hard way in the middle of a transfer: killed with
// SIGKILL, its Wayland compositor gone, its X server gone. Whatever ends
// it, the device process it started finishes the line in hand, tells the
// device "DPZ|" and "RST|", gives the port back (no exclusive mode, no
// lock) and ends by itself within the wind-down time.
//
// The window runs in a child (window_child) against a paced simulated
// device; this process is the subreaper of what the child leaves, so that
// the device process it leaves can be waited for.

#include "ChildCommand.h"
#include "DeviceRecords.h"
#include "SimDevice.h"
#include "app/workflow/PortChoice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long the device process may take to wind down once its window is
// gone: the line in hand, then DPZ and RST.
constexpr auto kWindDown = 40s;

// A child process with its standard output on a pipe.
class CChild {
public:
    CChild(std::vector<std::string> argv, const std::vector<std::pair<std::string, std::string>>& env,
           bool keepOutput = true)
    {
        CChildCommand command(std::move(argv));
        for (const auto& [name, value] : env)
            command.SetEnv(name, value);
        char* const* argp = command.Argv();
        char* const* envp = command.Envp();
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, STDIN_FILENO);
            dup2(keepOutput ? out[1] : null, STDOUT_FILENO);
            if (!keepOutput)
                dup2(null, STDERR_FILENO);
            execve(argp[0], argp, envp);
            _exit(127);
        }
        close(out[1]);
        m_out = out[0];
    }
    ~CChild()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0)
            close(m_out);
    }
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    pid_t Pid() const { return m_pid; }

    // Waits until its output holds text.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit)
    {
        const auto deadline = Clock::now() + limit;
        while (m_text.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            pollfd fd{m_out, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buffer[512];
            const ssize_t n = read(m_out, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            m_text.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }

    // Ends it with this signal and waits for it.
    void Kill(int signal)
    {
        kill(m_pid, signal);
        Reap();
    }
    // Waits for it to end by itself; its wait status.
    int Reap()
    {
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return status;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_text;
};

// The children of a process (of all its threads) called name.
std::vector<pid_t> ChildrenNamed(pid_t parent, const std::string& name)
{
    std::vector<pid_t> found;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(parent) + "/task", error)) {
        std::ifstream children(task.path() / "children");
        pid_t child = 0;
        while (children >> child) {
            std::ifstream comm("/proc/" + std::to_string(child) + "/comm");
            std::string comm_name;
            if (comm >> comm_name && comm_name == name)
                found.push_back(child);
        }
    }
    return found;
}

// Whether a process that is not ours to reap has ended (gone, or a zombie).
bool Ended(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    // pid, (comm), state: comm holds no blank here.
    return !(stat >> field >> field >> field) || field == "Z";
}

// Waits for a process to end (reaping it when it has become ours); true
// when it ended in time.
bool WaitForEnd(pid_t pid, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        int status = 0;
        const pid_t reaped = waitpid(pid, &status, WNOHANG);
        if (reaped == pid || (reaped < 0 && errno == ECHILD && Ended(pid)))
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

class WindowEnd : public ::testing::Test {
protected:
    void SetUp() override { prctl(PR_SET_CHILD_SUBREAPER, 1); }

    // Starts the window in the middle of a transfer; the device process it
    // started, or -1.
    pid_t StartTransfer(CChild& window)
    {
        EXPECT_TRUE(window.WaitForOutput("transferring", 60s)) << "the window did not get to the transfer";
        const std::vector<pid_t> devices = ChildrenNamed(window.Pid(), "cvf-device");
        EXPECT_EQ(devices.size(), 1u);
        return devices.empty() ? -1 : devices.front();
    }

    // What every end must leave.
    void ExpectWoundDown(pid_t device)
    {
        ASSERT_GT(device, 0);
        EXPECT_TRUE(WaitForEnd(device, kWindDown)) << "the device process outlived its wind-down";
        EXPECT_TRUE(m_sim.WaitForLog("restart", 1000));
        EXPECT_EQ(RequestsAfterLines(m_sim), (std::vector<std::string>{"DPZ", "RST"}));
        EXPECT_EQ(ProbePortState(m_sim.DevicePath()), PortState::Free) << "the port is exclusive or locked still";
    }

    std::vector<std::string> Window() const
    {
        return {CVF_WINDOW_CHILD, PortDirectoryOf(m_sim), m_file};
    }

    CSimDevice m_sim{{}, true, "COM3"};
    CTempDir m_dir;
    const std::string m_file = m_dir.WriteFirmware("fw.CVF");
};

TEST_F(WindowEnd, KilledWithSigkill)
{
    ASSERT_TRUE(m_sim.IsReady());
    CChild window(Window(), {{"QT_QPA_PLATFORM", "offscreen"}});
    const pid_t device = StartTransfer(window);
    window.Kill(SIGKILL);
    ExpectWoundDown(device);
}

TEST_F(WindowEnd, TheWaylandCompositorGoesAway)
{
    ASSERT_TRUE(m_sim.IsReady());
    if (access("/usr/bin/weston", X_OK) != 0)
        GTEST_SKIP() << "no weston";
    CTempDir runtime;
    chmod(runtime.Path().c_str(), 0700);
    CChild compositor({"/usr/bin/weston", "--backend=headless-backend.so", "--socket=cvf-test", "--idle-time=0"},
                      {{"XDG_RUNTIME_DIR", runtime.Path()}}, false);
    const auto deadline = Clock::now() + 10s;
    while (access(runtime.File("cvf-test").c_str(), F_OK) != 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    CChild window(Window(), {{"QT_QPA_PLATFORM", "wayland"},
                             {"WAYLAND_DISPLAY", "cvf-test"},
                             {"XDG_RUNTIME_DIR", runtime.Path()}});
    const pid_t device = StartTransfer(window);
    compositor.Kill(SIGKILL);
    // Qt ends the window at once (it skips every exit handler).
    EXPECT_NE(window.Reap(), 0);
    ExpectWoundDown(device);
}

TEST_F(WindowEnd, TheXServerGoesAway)
{
    ASSERT_TRUE(m_sim.IsReady());
    if (access("/usr/bin/Xvfb", X_OK) != 0)
        GTEST_SKIP() << "no Xvfb";
    // A display number of our own: the first free one from 90 on.
    int display = 90;
    while (display < 190 && access(("/tmp/.X11-unix/X" + std::to_string(display)).c_str(), F_OK) == 0)
        ++display;
    const std::string name = ":" + std::to_string(display);
    CChild server({"/usr/bin/Xvfb", name, "-nolisten", "tcp"}, {}, false);
    const auto deadline = Clock::now() + 10s;
    while (access(("/tmp/.X11-unix/X" + std::to_string(display)).c_str(), F_OK) != 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    CChild window(Window(), {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", name}});
    const pid_t device = StartTransfer(window);
    server.Kill(SIGKILL);
    ExpectWoundDown(device);
}

}  // namespace
