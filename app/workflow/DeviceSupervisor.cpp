#include "app/workflow/DeviceSupervisor.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <climits>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;

// After the end of a pipe, how soon the process is looked for again.
constexpr int kReapRetryMs = 20;

void SetNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void CloseFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

}  // namespace

std::string DeviceProgramPath()
{
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    std::string dir = ".";
    if (n > 0) {
        const std::string self(buffer, static_cast<size_t>(n));
        const size_t slash = self.rfind('/');
        dir = slash == std::string::npos ? "." : self.substr(0, slash);
    }
    const std::string beside = dir + "/cvf-device";
    const std::string installed = dir + "/../lib/cvf-update/cvf-device";
    if (access(beside.c_str(), X_OK) == 0)
        return beside;
    if (access(installed.c_str(), X_OK) == 0)
        return installed;
    return beside;
}

CDeviceSupervisor::CDeviceSupervisor(std::string program)
    : m_program(std::move(program)), m_launcher(std::make_shared<CSpawnLauncher>())
{
}

CDeviceSupervisor::~CDeviceSupervisor()
{
    for (auto& [id, process] : m_processes) {
        // The end of its control pipe is the end of its front end: a device
        // process still running winds down by itself.
        CloseFd(process.control);
        CloseFd(process.events);
        const bool gone = m_launcher->Ended(process.pid);
        for (auto& [port, keeper] : process.keepers) {
            if (gone && !process.result)
                keeper.Restore();
            else
                keeper.Release();
        }
    }
}

int64_t CSpawnLauncher::Launch(const std::string& program, int controlFd, int eventFd, int imageFd)
{
    // The child's ends, moved well away from 3 to 5 so that no dup2 below
    // maps a descriptor onto itself (which would leave it close-on-exec).
    int childControl = fcntl(controlFd, F_DUPFD_CLOEXEC, 10);
    int childEvents = fcntl(eventFd, F_DUPFD_CLOEXEC, 10);
    int childImage = fcntl(imageFd, F_DUPFD_CLOEXEC, 10);
    for (int fd : {controlFd, eventFd, imageFd})
        close(fd);

    int error = 0;
    pid_t pid = -1;
    if (childControl < 0 || childEvents < 0 || childImage < 0) {
        error = errno;
    } else {
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
        // Nothing of ours but its three descriptors: no sibling's pipe, no
        // display connection, no terminal to read.
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, childControl, DEVICE_CONTROL_FD);
        posix_spawn_file_actions_adddup2(&actions, childEvents, DEVICE_EVENT_FD);
        posix_spawn_file_actions_adddup2(&actions, childImage, DEVICE_IMAGE_FD);
        posix_spawn_file_actions_addclosefrom_np(&actions, DEVICE_IMAGE_FD + 1);
        // A process group of its own: the terminal's Ctrl-Z and Ctrl-C are
        // for the front end, which tells the device process what to do.
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        std::string path = program;
        char* argv[] = {path.data(), nullptr};
        error = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    CloseFd(childControl);
    CloseFd(childEvents);
    CloseFd(childImage);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return pid;
}

bool CSpawnLauncher::Ended(int64_t handle)
{
    int status = 0;
    // Gone, or reaped by somebody else: gone all the same.
    return waitpid(static_cast<pid_t>(handle), &status, WNOHANG) != 0;
}

void CSpawnLauncher::Kill(int64_t handle)
{
    kill(static_cast<pid_t>(handle), SIGKILL);
}

void CDeviceSupervisor::SetLauncher(std::shared_ptr<CDeviceLauncher> launcher)
{
    m_launcher = launcher ? std::move(launcher) : std::make_shared<CSpawnLauncher>();
}

int CDeviceSupervisor::Start(DeviceJobSpec job, const CFirmwareImage& image)
{
    if (!image.Valid()) {
        errno = EINVAL;
        return -1;
    }
    int control[2] = {-1, -1};
    int events[2] = {-1, -1};
    if (pipe2(control, O_CLOEXEC) != 0)
        return -1;
    if (pipe2(events, O_CLOEXEC) != 0) {
        const int error = errno;
        close(control[0]);
        close(control[1]);
        errno = error;
        return -1;
    }
    const int imageFd = fcntl(image.Fd(), F_DUPFD_CLOEXEC, 0);
    if (imageFd < 0) {
        const int error = errno;
        for (int fd : {control[0], control[1], events[0], events[1]})
            close(fd);
        errno = error;
        return -1;
    }
    // The launcher takes the child's ends over.
    const int64_t handle = m_launcher->Launch(m_program, control[0], events[1], imageFd);
    if (handle < 0) {
        const int error = errno;
        close(control[1]);
        close(events[0]);
        errno = error;
        return -1;
    }

    SetNonBlocking(control[1]);
    SetNonBlocking(events[0]);
    const int id = m_nextId++;
    Process& process = m_processes[id];
    process.pid = handle;
    process.control = control[1];
    process.events = events[0];
    process.ports = job.ports;
    process.heard = m_clock;
    job.parentPid = getpid();
    Send(process, {.kind = ControlKind::Job, .job = std::move(job)});
    return id;
}

void CDeviceSupervisor::Send(Process& process, const ControlMessage& message)
{
    process.unsent += EncodeMessage(message);
    Flush(process);
}

void CDeviceSupervisor::Flush(Process& process)
{
    while (!process.unsent.empty() && process.control >= 0) {
        const ssize_t n = write(process.control, process.unsent.data(), process.unsent.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;  // the rest when the pipe has room (Turn)
        if (n <= 0) {
            // It has closed its end: it is going, and says so on its own pipe.
            process.unsent.clear();
            return;
        }
        process.unsent.erase(0, static_cast<size_t>(n));
    }
}

void CDeviceSupervisor::Answer(int id, bool yes)
{
    const auto it = m_processes.find(id);
    if (it != m_processes.end())
        Send(it->second, {.kind = ControlKind::Answer, .yes = yes});
}

void CDeviceSupervisor::RequestStop(Process& process)
{
    if (process.stopAt)
        return;
    process.stopAt = m_clock;
    Send(process, {.kind = ControlKind::Stop});
}

void CDeviceSupervisor::Stop(int id)
{
    const auto it = m_processes.find(id);
    if (it != m_processes.end())
        RequestStop(it->second);
}

void CDeviceSupervisor::StopAll()
{
    for (auto& [id, process] : m_processes)
        RequestStop(process);
}

bool CDeviceSupervisor::IsRunning(int id) const
{
    return m_processes.count(id) != 0;
}

size_t CDeviceSupervisor::RunningCount() const
{
    return m_processes.size();
}

int64_t CDeviceSupervisor::Pid(int id) const
{
    const auto it = m_processes.find(id);
    return it == m_processes.end() ? -1 : it->second.pid;
}

void CDeviceSupervisor::Take(int id, Process& process, const DeviceEvent& event, std::vector<SupervisedEvent>& out)
{
    switch (event.kind) {
    case EventKind::PortWanted:
        if (!Grant(process, event.port))
            process.wanted.push_back(event.port);
        return;
    case EventKind::Alive:
        return;
    case EventKind::Result:
        process.result = true;
        break;
    default:
        break;
    }
    out.push_back({.id = id, .event = event});
}

bool CDeviceSupervisor::Grant(Process& process, int index)
{
    bool held = false;
    if (index >= 0 && static_cast<size_t>(index) < process.ports.size()) {
        CPortKeeper& keeper = process.keepers[index];
        held = keeper.IsHeld() || keeper.Take(process.ports[static_cast<size_t>(index)].path);
        // Out of descriptors is not the port's fault: it waits for others
        // to end.
        if (!held && (errno == EMFILE || errno == ENFILE))
            return false;
    }
    Send(process, {.kind = held ? ControlKind::PortGranted : ControlKind::PortRefused, .port = index});
    return true;
}

void CDeviceSupervisor::Read(int id, Process& process, std::vector<SupervisedEvent>& out)
{
    char buffer[16384];
    while (process.events >= 0) {
        const ssize_t n = read(process.events, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        if (n <= 0) {
            // The process has ended, or is ending: reaped when it is gone.
            CloseFd(process.events);
            return;
        }
        process.heard = m_clock;
        if (process.broken)
            continue;
        process.reader.Feed(buffer, static_cast<size_t>(n));
        std::string payload;
        for (;;) {
            const CFrameReader::Next next = process.reader.Take(payload);
            if (next == CFrameReader::Next::None)
                break;
            DeviceEvent event;
            if (next == CFrameReader::Next::Broken || !DecodeMessage(payload, event)) {
                // Nothing it says from here on can be believed; it is asked
                // to wind down and, when it does not, killed in time.
                process.broken = true;
                process.result = false;
                RequestStop(process);
                break;
            }
            Take(id, process, event, out);
        }
    }
}

bool CDeviceSupervisor::Reap(int id, Process& process, std::vector<SupervisedEvent>& out)
{
    if (!m_launcher->Ended(process.pid))
        return false;
    // Gone. Without its
    // result it may have left a port exclusive and set for the device:
    // given back as it was, before anybody hears of the loss.
    const bool lost = !process.result;
    for (auto& [port, keeper] : process.keepers) {
        if (lost)
            keeper.Restore();
        else
            keeper.Release();
    }
    CloseFd(process.control);
    out.push_back({.id = id, .ended = true, .lost = lost});
    return true;
}

void CDeviceSupervisor::Judge(Process& process)
{
    if (!process.stopAt && m_clock - process.heard > m_limits.silence)
        RequestStop(process);
    if (process.stopAt && !process.killed && m_clock - *process.stopAt > m_limits.windDown) {
        m_launcher->Kill(process.pid);
        process.killed = true;
    }
}

std::vector<SupervisedEvent> CDeviceSupervisor::Turn(int timeoutMs, std::span<pollfd> extra)
{
    std::vector<SupervisedEvent> out;
    std::vector<pollfd> fds(extra.begin(), extra.end());
    std::vector<int> owners;  // per entry after the extra ones: the id, or minus the id for its control pipe
    bool reaping = false;
    for (auto& [id, process] : m_processes) {
        if (process.events >= 0) {
            fds.push_back({process.events, POLLIN, 0});
            owners.push_back(id);
        } else {
            reaping = true;
        }
        reaping = reaping || !process.wanted.empty();
        if (!process.unsent.empty() && process.control >= 0) {
            fds.push_back({process.control, POLLOUT, 0});
            owners.push_back(-id);
        }
    }
    const int wait = std::max(0, reaping ? std::min(timeoutMs, kReapRetryMs) : timeoutMs);
    const int ready = poll(fds.data(), fds.size(), wait);
    for (size_t k = 0; k < extra.size(); ++k)
        extra[k].revents = ready > 0 ? fds[k].revents : 0;

    // The clock: at most the wait and a second more per turn. After a
    // longer gap every pipe is read before anybody is judged.
    const auto now = std::chrono::steady_clock::now();
    const auto gap = now - m_lastTurn;
    const auto allowed = std::chrono::milliseconds(wait) + 1s;
    m_clock += std::min<Duration>(gap, allowed);
    m_lastTurn = now;
    const bool afterGap = gap > allowed;

    for (size_t k = extra.size(); k < fds.size(); ++k) {
        const int owner = owners[k - extra.size()];
        auto it = m_processes.find(owner < 0 ? -owner : owner);
        if (it == m_processes.end())
            continue;
        if (owner < 0) {
            if (fds[k].revents != 0)
                Flush(it->second);
        } else if (fds[k].revents != 0 || afterGap) {
            Read(owner, it->second, out);
        }
    }
    for (auto it = m_processes.begin(); it != m_processes.end();) {
        Process& process = it->second;
        if (process.events < 0 && Reap(it->first, process, out)) {
            it = m_processes.erase(it);
            continue;
        }
        std::erase_if(process.wanted, [&](int index) { return Grant(process, index); });
        Judge(process);
        ++it;
    }
    return out;
}
