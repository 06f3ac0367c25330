#include "SimDevice.h"

#include "ChildCommand.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>


std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

CSimDevice::CSimDevice(const std::vector<std::string>& args, bool paced, const std::string& name)
    : m_name(name)
{
    char pattern[] = "/tmp/cvf-device-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return;
    m_dir = pattern;

    std::vector<std::string> argv = {CVF_DEVSIM, "--name", name, "--log", File("log.txt")};
    if (!paced)
        argv.push_back("--no-pacing");
    argv.insert(argv.end(), args.begin(), args.end());
    CChildCommand command(std::move(argv));
    // The child's environment: ours, with the private port directory.
    command.SetEnv("XDG_RUNTIME_DIR", m_dir);
    char* const* argp = command.Argv();
    char* const* envp = command.Envp();

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return;
    const pid_t parent = getpid();
    m_pid = fork();
    if (m_pid == 0) {
        // The device goes when the test process goes, whatever happens.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        dup2(pipeFds[1], STDOUT_FILENO);
        if (chdir(m_dir.c_str()) != 0)
            _exit(127);
        execve(argp[0], argp, envp);
        _exit(127);
    }
    close(pipeFds[1]);
    m_out = pipeFds[0];
    if (m_pid < 0)
        return;

    // Wait for "ready NAME PATH".
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return;
        pollfd pfd{m_out, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
            return;
        char c;
        if (read(m_out, &c, 1) != 1)
            return;
        line += c;
    }
    line.pop_back();
    m_readyLine = line;
    const std::string prefix = "ready " + name + " ";
    if (line.compare(0, prefix.size(), prefix) != 0)
        return;
    m_devicePath = line.substr(prefix.size());
    m_ready = true;
}

CSimDevice::~CSimDevice()
{
    Stop();
    if (m_out >= 0)
        close(m_out);
    if (!m_dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
}

int CSimDevice::Stop()
{
    if (m_pid <= 0)
        return -1;
    kill(m_pid, SIGTERM);
    int status = 0;
    const pid_t pid = m_pid;
    m_pid = -1;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::string CSimDevice::Log() const
{
    return ReadFile(File("log.txt"));
}

int CSimDevice::CountLogLines(const std::string& text) const
{
    std::istringstream in(Log());
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        if (line.find(text) != std::string::npos)
            ++count;
    }
    return count;
}

bool CSimDevice::WaitForLog(const std::string& text, int timeoutMs) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        if (CountLogLines(text) > 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}
