// cvf-devsim --publish, as ./run --device uses it: a real device (here a
// pseudo-terminal of the test's own) published under a name until a
// signal ends it.

#include "link/PortList.h"

#include "ChildCommand.h"
#include "DeviceRecords.h"
#include "Pty.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>


namespace {

// cvf-devsim with args; its standard output is read through out.
struct Publisher {
    explicit Publisher(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {CVF_DEVSIM};
        argv.insert(argv.end(), args.begin(), args.end());
        CChildCommand command(std::move(argv));
        char* const* argp = command.Argv();
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid, argp[0], &actions, nullptr, argp, command.Envp()) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out = fds[0];
    }
    ~Publisher()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0)
            close(out);
    }
    // The first line of its output, within 10 s.
    std::string Line() const
    {
        std::string line;
        char c;
        pollfd pfd{out, POLLIN, 0};
        while (poll(&pfd, 1, 10000) > 0 && read(out, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    // Signals it (when given) and returns its exit status, -1 for a death by signal.
    int End(int signal = 0)
    {
        if (signal != 0)
            kill(pid, signal);
        int status = 0;
        const pid_t p = pid;
        pid = -1;
        if (waitpid(p, &status, 0) != p || !WIFEXITED(status))
            return -1;
        return WEXITSTATUS(status);
    }

    pid_t pid = -1;
    int out = -1;
};

TEST(DeviceSimulator, PublishesARealDeviceUntilASignalEndsIt)
{
    CTempDir dir;
    const std::string ports = dir.File("cvf-update/ports");
    Pty pty(true);
    ASSERT_TRUE(pty.Ok());

    Publisher good({"--name", "COM7", "--port-dir", ports, "--publish", pty.Path()});
    ASSERT_EQ(good.Line(), "ready COM7 " + pty.Path());
    const std::vector<PortInfo> listed = ListSerialPorts(ports, dir.File("no-sysfs"));
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, "COM7");
    EXPECT_EQ(listed[0].path, pty.Path());

    // The name is taken; a device that is no terminal is not published.
    Publisher second({"--name", "COM7", "--port-dir", ports, "--publish", pty.Path()});
    EXPECT_EQ(second.End(), 1);
    Publisher null({"--name", "COM8", "--port-dir", ports, "--publish", "/dev/null"});
    EXPECT_EQ(null.End(), 1);
    Publisher faulty({"--name", "COM9", "--port-dir", ports, "--publish", pty.Path(), "--fault", "flash:1"});
    EXPECT_EQ(faulty.End(), 2);

    const auto gone = [&] {
        return access((ports + "/COM7").c_str(), F_OK) != 0 &&
               access((ports + "/.COM7.lock").c_str(), F_OK) != 0 &&
               access((ports + "/COM8").c_str(), F_OK) != 0;
    };
    EXPECT_EQ(good.End(SIGTERM), 0);
    EXPECT_TRUE(gone());
    for (int signal : {SIGHUP, SIGINT}) {
        Publisher again({"--name", "COM7", "--port-dir", ports, "--publish", pty.Path()});
        ASSERT_EQ(again.Line(), "ready COM7 " + pty.Path());
        EXPECT_EQ(again.End(signal), 0);
        EXPECT_TRUE(gone());
    }
}

}  // namespace
