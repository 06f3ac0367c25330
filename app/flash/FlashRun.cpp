#include "app/flash/FlashRun.h"
#include "app/workflow/EndSignalSet.h"

#include "app/flash/DeviceJob.h"
#include "app/flash/FlashReport.h"
#include "app/workflow/Operations.h"
#include "app/workflow/Outcome.h"
#include "app/workflow/PortChoice.h"
#include "app/workflow/StringIds.h"
#include "app/workflow/StringTable.h"
#include "app/workflow/UpdateWorkflow.h"
#include "link/PortList.h"
#include "link/UsbInfo.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
using namespace std::chrono_literals;

// Watch mode lists the ports again this often.
constexpr auto kScanInterval = 500ms;
// A device process that has said nothing for this long, while not waiting
// for the question's answer, is taken as hung. Its longest silence by
// design: three PSD and three EAE queries (18 s), or one line's attempts
// with the closing commands (about 60 s).
constexpr auto kSilenceLimit = 180s;
// After a stop: the longest wind-down is one line (10 s) and DPZ and RST
// (10 s each) with their port opens.
constexpr auto kWindDownLimit = 90s;
constexpr size_t kMessageLimit = 64 * 1024;

int Status(Outcome outcome)
{
    return OutcomeTable(outcome).exitStatus;
}

std::string RealPath(const std::string& path)
{
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

std::string JoinLines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += (text.empty() ? "" : "\n") + line;
    return text;
}

// One device, or one search over several ports, and what became of it.
struct Slot {
    enum class Phase { Searching, Waiting, Working, Ended };

    std::string port;              // the device's port; empty for a search over several until one answers
    std::vector<PortInfo> ports;   // what the search asks
    bool noDeviceCounts = true;    // whether "no device" here decides the exit status
    int fixedStatus = -1;          // a port that could not be searched at all
    std::string watchKey;          // watch mode: the port's identity

    pid_t pid = -1;
    int events = -1;
    int control = -1;
    std::string buffer;
    Phase phase = Phase::Searching;
    std::optional<Outcome> outcome;
    Clock::time_point started = Clock::now();
    Clock::time_point heard = Clock::now();

    bool Running() const { return pid > 0; }
};

class CFlashRun {
public:
    explicit CFlashRun(const FlashOptions& options)
        : m_options(options), m_report(MakeFlashReport(options.json, options.quiet))
    {
        m_signalFd = OpenEndSignalFd();
    }
    ~CFlashRun()
    {
        for (Slot& slot : m_slots)
            Reap(slot, true);
        if (m_signalFd >= 0)
            close(m_signalFd);
    }
    CFlashRun(const CFlashRun&) = delete;
    CFlashRun& operator=(const CFlashRun&) = delete;

    int Run()
    {
        if (m_options.list)
            return List();
        if (!m_options.yes && !m_options.dryRun && isatty(STDIN_FILENO) == 0) {
            m_report->Error(EXIT_USAGE, Text(IDS_FLASH_NO_TERMINAL));
            return EXIT_USAGE;
        }
        const int loaded = Load();
        if (loaded >= 0)
            return loaded;
        if (m_options.watch) {
            m_report->Note(Text(IDS_FLASH_WATCHING));
            Scan();
        } else if (!Plan()) {
            return Status(Outcome::NoPort);
        }
        Loop();
        return ExitStatus();
    }

private:
    bool Asks() const { return !m_options.yes && !m_options.dryRun; }

    std::vector<PortInfo> Listed() const { return ListSerialPorts(PortDirectory(), m_options.sysfsRoot); }

    // --list
    int List()
    {
        const std::vector<PortInfo> ports = Listed();
        for (const PortInfo& port : ports)
            m_report->ListedPort(port, ProbePortState(port.path), ReadUsbInfo(m_options.sysfsRoot, port.path));
        m_report->ListEnd();
        return ports.empty() ? Status(Outcome::NoPort) : 0;
    }

    // Checks the file on a thread of its own, so that an end signal can
    // stop a long check. -1 when it is good, otherwise the exit status.
    int Load()
    {
        const std::string& path = m_options.file;
        CFirmwareFile file;
        if (!file.Open(path.c_str())) {
            m_report->Error(Status(Outcome::CannotOpen), FormatText(IDS_CANNOT_OPEN, path));
            return Status(Outcome::CannotOpen);
        }
        if (!CheckFirmwareHeader(file, path)) {
            m_report->Error(Status(Outcome::LoadFaulty), FormatText(IDS_UNEXPECTED_FORMAT, path));
            return Status(Outcome::LoadFaulty);
        }

        int wake[2];
        if (pipe2(wake, O_CLOEXEC) != 0)
            wake[0] = wake[1] = -1;
        CStopRequest stop;
        COperationObserver quiet;
        LoadOutcome outcome = LoadOutcome::Faulty;
        {
            CLoadOperation operation(file, path);
            std::thread loader([&] {
                outcome = operation.Run(quiet, stop, m_firmware);
                const char c = 0;
                if (wake[1] >= 0 && write(wake[1], &c, 1) < 0) {
                }
            });
            pollfd fds[2] = {{m_signalFd, POLLIN, 0}, {wake[0], POLLIN, 0}};
            while (wake[0] >= 0 && fds[1].revents == 0) {
                if (poll(fds, 2, -1) < 0 && errno != EINTR)
                    break;
                if (fds[0].revents != 0 && TakeSignals())
                    stop.Request();
            }
            loader.join();
        }
        for (int fd : wake) {
            if (fd >= 0)
                close(fd);
        }
        file.Close();
        // The processes started later are copies of this one: no thread
        // may run from here on.
        if (m_signalled)
            return Status(Outcome::LoadStopped);

        switch (outcome) {
        case LoadOutcome::Loaded:
            m_report->FileLoaded(path, m_firmware);
            return -1;
        case LoadOutcome::CannotOpen:
            m_report->Error(Status(Outcome::CannotOpen), FormatText(IDS_CANNOT_OPEN, path));
            return Status(Outcome::CannotOpen);
        case LoadOutcome::Faulty:
            m_report->Error(Status(Outcome::LoadFaulty),
                            path + "\n" + JoinLines(ResultLines(Outcome::LoadFaulty, {})));
            return Status(Outcome::LoadFaulty);
        case LoadOutcome::Stopped:
            return Status(Outcome::LoadStopped);
        }
        return Status(Outcome::LoadFaulty);
    }

    // -p NAME: a port of the list by its name, or a device path.
    static std::optional<PortInfo> Resolve(const std::string& wanted, const std::vector<PortInfo>& listed)
    {
        if (wanted.find('/') == std::string::npos) {
            for (const PortInfo& port : listed) {
                if (port.name == wanted)
                    return port;
            }
            return std::nullopt;
        }
        struct stat st {};
        if (stat(wanted.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
            return std::nullopt;
        const std::string real = RealPath(wanted);
        for (const PortInfo& port : listed) {
            if (RealPath(port.path) == real)
                return PortInfo{port.name, wanted};
        }
        return PortInfo{wanted, wanted};
    }

    // Why a port named with -p cannot be searched.
    void PortRefused(const std::string& name, PortState state)
    {
        const std::string text = state == PortState::NoPermission ? FormatText(IDS_NO_PERMISSION, name)
                                 : state == PortState::Missing    ? FormatText(IDS_FLASH_PORT_UNKNOWN, name)
                                                                  : FormatText(IDS_FLASH_PORT_BUSY, name);
        m_report->Error(Status(Outcome::NoPort), text);
    }

    void NoPortAtAll(const std::string& deniedPort)
    {
        std::vector<std::string> lines = ResultLines(Outcome::NoPort, {});
        // The usual reason on this system is a missing group membership.
        if (!deniedPort.empty())
            lines.push_back(FormatText(IDS_NO_PERMISSION, deniedPort));
        m_report->Error(Status(Outcome::NoPort), JoinLines(lines));
    }

    // Chooses the ports and starts a process for each device (one for a
    // search over several ports). False when there is nothing to search.
    bool Plan()
    {
        const std::vector<PortInfo> listed = Listed();
        const bool given = !m_options.ports.empty();
        // Given ports in the order given; a search over the listed ones as
        // the window does it (the first seven, those that are free).
        std::vector<Slot> slots;
        std::vector<PortInfo> free;
        std::string deniedPort;
        bool refused = false;
        if (given) {
            std::set<std::string> chosen;
            for (const std::string& name : m_options.ports) {
                const std::optional<PortInfo> port = Resolve(name, listed);
                // A port named twice is searched once.
                if (port && !chosen.insert(RealPath(port->path)).second)
                    continue;
                const PortState state = port ? ProbePortState(port->path) : PortState::Missing;
                if (state == PortState::Free) {
                    free.push_back(*port);
                    continue;
                }
                PortRefused(name, state);
                refused = true;
                Slot slot;
                slot.port = name;
                slot.fixedStatus = Status(Outcome::NoPort);
                slot.phase = Slot::Phase::Ended;
                slots.push_back(std::move(slot));
            }
        } else if (m_options.all) {
            // Every listed port, not only the first seven: a hub may hold
            // more; ports another program holds are left out.
            for (const PortInfo& port : listed) {
                const PortState state = ProbePortState(port.path);
                if (state == PortState::Free)
                    free.push_back(port);
                else if (state == PortState::NoPermission && deniedPort.empty())
                    deniedPort = port.name;
            }
        } else {
            SearchPorts chosen = ChooseSearchPorts(listed, SEARCH_PORT_LIMIT);
            free = std::move(chosen.free);
            deniedPort = chosen.deniedPort;
        }
        if (free.empty()) {
            if (!refused)
                NoPortAtAll(deniedPort);
            return false;
        }

        if (m_options.all) {
            // A port of their own for each device, in the order of the
            // ports; refused ones keep their place for the exit status.
            size_t next = 0;
            std::vector<Slot> ordered;
            for (const std::string& name : m_options.ports) {
                auto it = std::find_if(slots.begin(), slots.end(), [&](const Slot& s) { return s.port == name; });
                if (it != slots.end()) {
                    ordered.push_back(std::move(*it));
                    slots.erase(it);
                } else if (next < free.size()) {
                    ordered.push_back(DeviceSlot({free[next++]}, true));
                }
            }
            while (next < free.size())
                ordered.push_back(DeviceSlot({free[next++]}, given));
            m_slots = std::move(ordered);
        } else {
            // One search; the ports refused only said why.
            if (free.size() > 1)
                m_report->Note(FormatText(IDS_PORTS_FOUND, static_cast<int>(free.size())));
            m_slots.clear();
            m_slots.push_back(DeviceSlot(std::move(free), true));
        }
        for (Slot& slot : m_slots) {
            if (slot.fixedStatus < 0)
                Start(slot);
        }
        return true;
    }

    static Slot DeviceSlot(std::vector<PortInfo> ports, bool noDeviceCounts)
    {
        Slot slot;
        if (ports.size() == 1)
            slot.port = ports[0].name;
        slot.ports = std::move(ports);
        slot.noDeviceCounts = noDeviceCounts;
        return slot;
    }

    // Watch mode: starts a search on every port that has appeared since
    // the last look.
    void Scan()
    {
        m_nextScan = Clock::now() + kScanInterval;
        const std::vector<PortInfo> listed = Listed();
        std::vector<PortInfo> ports;
        if (m_options.ports.empty()) {
            ports = listed;
        } else {
            for (const std::string& name : m_options.ports) {
                if (std::optional<PortInfo> port = Resolve(name, listed))
                    ports.push_back(std::move(*port));
            }
        }

        std::set<std::string> present;
        for (const PortInfo& port : ports) {
            // A port plugged in again, or published anew, is a new device
            // node: its identity changes with it.
            struct stat st {};
            if (stat(port.path.c_str(), &st) != 0)
                continue;
            const std::string key = port.name + "\n" + port.path + "\n" + std::to_string(st.st_ino) + "\n" +
                                    std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
            present.insert(key);
            if (m_seen.count(key) != 0)
                continue;
            const PortState state = ProbePortState(port.path);
            if (state != PortState::Free) {
                // Tried again at the next look (a modem manager may hold a
                // fresh port for some seconds); said once.
                if (m_refusedNoted.insert(key).second && state == PortState::NoPermission)
                    m_report->Note(FormatText(IDS_NO_PERMISSION, port.name));
                continue;
            }
            m_seen.insert(key);
            Slot slot = DeviceSlot({port}, false);
            slot.watchKey = key;
            m_slots.push_back(std::move(slot));
            Start(m_slots.back());
        }
        for (auto it = m_seen.begin(); it != m_seen.end();) {
            it = present.count(*it) == 0 ? m_seen.erase(it) : std::next(it);
        }
        for (auto it = m_refusedNoted.begin(); it != m_refusedNoted.end();) {
            it = present.count(*it) == 0 ? m_refusedNoted.erase(it) : std::next(it);
        }
    }

    // Starts the device's process: a copy of this one, so that it sends
    // exactly the lines this one checked.
    void Start(Slot& slot)
    {
        int events[2];
        int control[2];
        if (pipe2(events, O_CLOEXEC) != 0)
            return Failed(slot, errno);
        if (pipe2(control, O_CLOEXEC) != 0) {
            const int error = errno;
            close(events[0]);
            close(events[1]);
            return Failed(slot, error);
        }
        std::fflush(stdout);
        std::fflush(stderr);
        const pid_t pid = fork();
        if (pid == 0) {
            // The job's two ends go to 3 and 4; every other descriptor of
            // the parent (the other devices' pipes above all) is closed.
            const int eventFd = fcntl(events[1], F_DUPFD, 10);
            const int controlFd = fcntl(control[0], F_DUPFD, 10);
            if (eventFd < 0 || controlFd < 0 || dup2(eventFd, 3) != 3 || dup2(controlFd, 4) != 4)
                _exit(127);
            close_range(5, ~0U, 0);
            DeviceJob job;
            job.ports = slot.ports;
            job.firmware = &m_firmware;
            job.dryRun = m_options.dryRun;
            job.ask = Asks();
            _exit(RunDeviceJob(job, 3, 4));
        }
        const int error = errno;
        close(events[1]);
        close(control[0]);
        if (pid < 0) {
            close(events[0]);
            close(control[1]);
            return Failed(slot, error);
        }
        fcntl(events[0], F_SETFL, O_NONBLOCK);
        slot.pid = pid;
        slot.events = events[0];
        slot.control = control[1];
        slot.phase = Slot::Phase::Searching;
        slot.started = slot.heard = Clock::now();
        // A stop that came before this device's start reaches it too.
        if (m_stopping)
            Tell(slot, "stop");
    }

    void Failed(Slot& slot, int error)
    {
        m_report->Error(Status(Outcome::Interrupted), FormatText(IDS_CANNOT_START, std::strerror(error)));
        slot.outcome = Outcome::Interrupted;
        slot.phase = Slot::Phase::Ended;
    }

    static void Tell(Slot& slot, const char* word)
    {
        if (slot.control < 0)
            return;
        const std::string line = std::string(word) + "\n";
        ssize_t n;
        do {
            n = write(slot.control, line.data(), line.size());
        } while (n < 0 && errno == EINTR);
    }

    // Waits for the device's process to end (it has closed its end of the
    // pipe, or is killed first) and tells a result it did not send.
    void Reap(Slot& slot, bool kill)
    {
        if (!slot.Running())
            return;
        if (kill)
            ::kill(slot.pid, SIGKILL);
        int status = 0;
        while (waitpid(slot.pid, &status, 0) < 0 && errno == EINTR) {
        }
        close(slot.events);
        close(slot.control);
        slot.events = slot.control = -1;
        slot.pid = -1;
        if (!slot.outcome && !kill)
            Lost(slot);
        slot.phase = Slot::Phase::Ended;
    }

    // A device's process that ended without its result (it crashed, or
    // was killed as hung): the device may be left mid-update.
    void Lost(Slot& slot)
    {
        const std::string name = slot.port.empty() ? std::string("?") : slot.port;
        m_report->Error(Status(Outcome::Interrupted), FormatText(IDS_FLASH_PROCESS_LOST, name));
        slot.outcome = Outcome::Interrupted;
        OutcomeContext context;
        context.device = m_firmware.device;
        m_report->Result(slot.port, Outcome::Interrupted,
                         std::chrono::duration<double>(Clock::now() - slot.started).count(), context);
    }

    void Take(Slot& slot, const std::string& line)
    {
        const Json message = Json::parse(line, nullptr, false);
        if (!message.is_object() || !message.contains("m"))
            return;
        const std::string kind = message.value("m", "");
        const std::string port = message.value("port", slot.port);
        if (kind == "search") {
            m_report->Searching(port, slot.ports.size() > 1);
        } else if (kind == "found") {
            slot.port = port;
            FoundDevice device;
            device.port = port;
            device.compatible = message.value("compatible", false);
            device.haveVersion = message.value("have_version", false);
            device.version1 = message.value("version1", "");
            device.version2 = message.value("version2", "");
            m_report->Found(device, m_firmware.device);
            slot.phase = device.compatible && Asks() ? Slot::Phase::Waiting : Slot::Phase::Working;
        } else if (kind == "start") {
            slot.phase = Slot::Phase::Working;
            m_report->TransferStarted(slot.port, m_firmware.device);
        } else if (kind == "progress") {
            std::optional<int> remaining;
            if (message.contains("remaining_s") && message["remaining_s"].is_number_integer())
                remaining = message["remaining_s"].get<int>();
            m_report->Progress(slot.port, message.value("percent", 0), remaining, message.value("remaining", ""));
        } else if (kind == "result") {
            const int value = message.value("outcome", static_cast<int>(Outcome::Interrupted));
            const Outcome outcome = value >= 0 && value <= static_cast<int>(Outcome::Declined)
                                        ? static_cast<Outcome>(value)
                                        : Outcome::Interrupted;
            slot.port = port;
            slot.outcome = outcome;
            OutcomeContext context;
            context.device = m_firmware.device;
            context.elapsed = message.value("elapsed", "");
            m_report->Result(port, outcome, message.value("seconds", 0.0), context);
            slot.phase = Slot::Phase::Ended;
        }
    }

    void Read(Slot& slot)
    {
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(slot.events, buffer, sizeof buffer);
            if (n > 0) {
                slot.heard = Clock::now();
                slot.buffer.append(buffer, static_cast<size_t>(n));
                size_t end;
                while ((end = slot.buffer.find('\n')) != std::string::npos) {
                    const std::string line = slot.buffer.substr(0, end);
                    slot.buffer.erase(0, end + 1);
                    try {
                        Take(slot, line);
                    } catch (const Json::exception&) {
                        // A field of the wrong type: the message is left out.
                    }
                }
                if (slot.buffer.size() > kMessageLimit)
                    slot.buffer.clear();
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return;
            // The process has ended.
            Reap(slot, false);
            return;
        }
    }

    // True when at least one end signal was read.
    bool TakeSignals()
    {
        bool any = false;
        signalfd_siginfo info{};
        while (read(m_signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            any = true;
        if (any)
            m_signalled = true;
        return any;
    }

    void OnSignal()
    {
        if (m_stopping) {
            m_report->Note(Text(IDS_FLASH_STILL_ENDING));
            return;
        }
        m_stopping = true;
        m_stopAt = Clock::now();
        if (!m_asking.empty()) {
            std::fputc('\n', stderr);
            EndQuestion(false);
        }
        bool running = false;
        for (Slot& slot : m_slots) {
            if (slot.Running()) {
                Tell(slot, "stop");
                running = true;
            }
        }
        if (running)
            m_report->Note(Text(IDS_FLASH_ENDING));
    }

    // Asks about every device that waits for it, once no search runs any
    // more, so that one question covers all devices found together.
    void MaybeAsk()
    {
        if (!m_asking.empty() || m_stopping || !Asks())
            return;
        std::vector<size_t> waiting;
        for (size_t i = 0; i < m_slots.size(); ++i) {
            if (m_slots[i].phase == Slot::Phase::Searching && m_slots[i].Running())
                return;
            if (m_slots[i].phase == Slot::Phase::Waiting && m_slots[i].Running())
                waiting.push_back(i);
        }
        if (waiting.empty())
            return;
        m_asking = waiting;
        if (m_stdinClosed) {
            EndQuestion(false);
            return;
        }
        // An answer typed before the question counts for nothing.
        tcflush(STDIN_FILENO, TCIFLUSH);
        m_answer.clear();
        m_report->Ask(Text(IDS_UPDATE_QUESTION) + Text(IDS_FLASH_ANSWER));
    }

    void EndQuestion(bool yes)
    {
        for (size_t i : m_asking) {
            if (i < m_slots.size() && m_slots[i].Running()) {
                Tell(m_slots[i], yes ? "yes" : "no");
                m_slots[i].phase = Slot::Phase::Working;
                m_slots[i].heard = Clock::now();
            }
        }
        m_asking.clear();
        m_report->Answered();
    }

    static bool IsYes(std::string answer)
    {
        while (!answer.empty() && (answer.back() == ' ' || answer.back() == '\r'))
            answer.pop_back();
        while (!answer.empty() && answer.front() == ' ')
            answer.erase(0, 1);
        std::transform(answer.begin(), answer.end(), answer.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return answer == "y" || answer == "yes" || answer == "j" || answer == "ja";
    }

    void ReadAnswer()
    {
        char buffer[256];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            return;
        if (n <= 0) {
            m_stdinClosed = true;
            std::fputc('\n', stderr);
            EndQuestion(false);
            return;
        }
        m_answer.append(buffer, static_cast<size_t>(n));
        const size_t end = m_answer.find('\n');
        if (end != std::string::npos)
            EndQuestion(IsYes(m_answer.substr(0, end)));
        else if (m_answer.size() > 200)
            EndQuestion(false);
    }

    bool AnyRunning() const
    {
        return std::any_of(m_slots.begin(), m_slots.end(), [](const Slot& s) { return s.Running(); });
    }

    void Loop()
    {
        for (;;) {
            if (!AnyRunning() && (!m_options.watch || m_stopping))
                return;
            std::vector<pollfd> fds;
            std::vector<size_t> owners;
            fds.push_back({m_signalFd, POLLIN, 0});
            owners.push_back(SIZE_MAX);
            if (!m_asking.empty()) {
                fds.push_back({STDIN_FILENO, POLLIN, 0});
                owners.push_back(SIZE_MAX - 1);
            }
            for (size_t i = 0; i < m_slots.size(); ++i) {
                if (m_slots[i].Running()) {
                    fds.push_back({m_slots[i].events, POLLIN, 0});
                    owners.push_back(i);
                }
            }
            int timeout = 1000;
            if (m_options.watch && !m_stopping) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_nextScan - Clock::now());
                timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, 1000));
            }
            const int ready = poll(fds.data(), fds.size(), timeout);
            if (ready < 0 && errno != EINTR)
                return;
            for (size_t k = 0; ready > 0 && k < fds.size(); ++k) {
                if (fds[k].revents == 0)
                    continue;
                if (owners[k] == SIZE_MAX) {
                    if (TakeSignals())
                        OnSignal();
                } else if (owners[k] == SIZE_MAX - 1) {
                    if (!m_asking.empty())
                        ReadAnswer();
                } else {
                    Read(m_slots[owners[k]]);
                }
            }
            Watchdog();
            MaybeAsk();
            if (m_options.watch && !m_stopping && Clock::now() >= m_nextScan)
                Scan();
        }
    }

    // Bounds every wait for a device's process.
    void Watchdog()
    {
        const Clock::time_point now = Clock::now();
        for (Slot& slot : m_slots) {
            if (!slot.Running())
                continue;
            const bool windDownOver = m_stopping && now - m_stopAt > kWindDownLimit;
            const bool silent = slot.phase != Slot::Phase::Waiting && now - slot.heard > kSilenceLimit;
            if (windDownOver || silent) {
                Reap(slot, true);
                // A process that hangs after its result keeps that result.
                if (!slot.outcome)
                    Lost(slot);
            }
        }
    }

    // 0 when every device ended as wished; otherwise the status of the
    // first, in the order of the ports, that did not.
    int ExitStatus() const
    {
        if (m_signalled && !m_options.watch)
            return Status(Outcome::SearchStopped);
        bool anyDevice = false;
        bool noDeviceLeftOut = false;
        for (const Slot& slot : m_slots) {
            if (slot.fixedStatus >= 0)
                return slot.fixedStatus;
            if (!slot.outcome)
                continue;
            if (*slot.outcome == Outcome::NoDevice && !slot.noDeviceCounts) {
                noDeviceLeftOut = true;
                continue;
            }
            anyDevice = anyDevice || *slot.outcome != Outcome::NoDevice;
            const int status = Status(*slot.outcome);
            if (status != 0)
                return status;
        }
        // Every listed port searched, and not one device on them.
        if (!m_options.watch && !anyDevice && noDeviceLeftOut)
            return Status(Outcome::NoDevice);
        return 0;
    }

    const FlashOptions& m_options;
    std::unique_ptr<CFlashReport> m_report;
    int m_signalFd = -1;
    CLoadedFirmware m_firmware;
    // In the order of the ports (watch mode: as they appeared). A deque
    // would do as well; slots are only appended.
    std::vector<Slot> m_slots;
    bool m_stopping = false;
    bool m_signalled = false;
    Clock::time_point m_stopAt;
    std::vector<size_t> m_asking;  // the slots the open question is about
    std::string m_answer;
    bool m_stdinClosed = false;
    Clock::time_point m_nextScan = Clock::now();
    std::set<std::string> m_seen;          // watch: ports searched and still present
    std::set<std::string> m_refusedNoted;  // watch: ports refused and said so
};

}  // namespace

int RunFlash(const FlashOptions& options)
{
    CFlashRun run(options);
    return run.Run();
}
