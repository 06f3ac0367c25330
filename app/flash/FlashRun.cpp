#include "app/flash/FlashRun.h"

#include "app/flash/FlashOutput.h"
#include "app/flash/FlashReport.h"
#include "app/workflow/DeviceSupervisor.h"
#include "app/workflow/EndSignalSet.h"
#include "app/workflow/Operations.h"
#include "app/workflow/Outcome.h"
#include "app/workflow/PortChoice.h"
#include "app/workflow/StringIds.h"
#include "app/workflow/StringTable.h"
#include "app/workflow/TransferClock.h"
#include "link/PortList.h"
#include "link/UsbInfo.h"

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
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Watch mode lists the ports again this often.
constexpr auto kScanInterval = 500ms;
// What is still to be written may take this long at the end.
constexpr auto kOutputLimit = 2s;

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

    int process = -1;              // the device process's id with the supervisor
    bool running = false;
    Phase phase = Phase::Searching;
    std::optional<Outcome> outcome;
    Clock::time_point started = Clock::now();

    bool Running() const { return running; }
};

class CFlashRun {
public:
    explicit CFlashRun(const FlashOptions& options)
        : m_options(options), m_report(MakeFlashReport(options.json, options.quiet, m_output))
    {
        m_signalFd = OpenEndSignalFd();
        m_supervisor.SetLimits({std::chrono::milliseconds(options.silenceLimitMs),
                                std::chrono::milliseconds(options.windDownLimitMs)});
    }
    ~CFlashRun()
    {
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

    // Whether everything was written within its limit at the end.
    bool FinishOutput() { return m_output.Finish(kOutputLimit); }

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

    // Starts the device's process with exactly the lines this one checked.
    void Start(Slot& slot)
    {
        DeviceJobSpec job;
        job.ports = slot.ports;
        job.dryRun = m_options.dryRun;
        job.ask = Asks();
        const int id = m_supervisor.Start(std::move(job), m_firmware.image);
        if (id < 0)
            return Failed(slot, errno);
        slot.process = id;
        slot.running = true;
        slot.phase = Slot::Phase::Searching;
        slot.started = Clock::now();
        m_bySupervisorId[id] = &slot - m_slots.data();
        // A stop that came before this device's start reaches it too.
        if (m_stopping)
            m_supervisor.Stop(id);
    }

    void Failed(Slot& slot, int error)
    {
        m_report->Error(Status(Outcome::Interrupted), FormatText(IDS_CANNOT_START, std::strerror(error)));
        slot.outcome = Outcome::Interrupted;
        slot.phase = Slot::Phase::Ended;
    }

    // A device's process that ended without its result (it crashed, or
    // was killed as hung): the device may be left mid-update. Its ports
    // are as they were before it.
    void Lost(Slot& slot)
    {
        const std::string name = slot.port.empty() ? std::string("?") : slot.port;
        m_report->Error(Status(Outcome::Interrupted), FormatText(IDS_FLASH_PROCESS_LOST, name));
        slot.outcome = Outcome::Interrupted;
        OutcomeContext context;
        context.device = m_firmware.device;
        m_report->Result(slot.port, Outcome::Interrupted, SecondsSince(slot.started), context);
    }

    static double SecondsSince(Clock::time_point start)
    {
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    const std::string& PortName(const Slot& slot, int index) const
    {
        static const std::string none;
        return index >= 0 && static_cast<size_t>(index) < slot.ports.size() ? slot.ports[static_cast<size_t>(index)].name
                                                                           : none;
    }

    void Ended(Slot& slot, bool lost)
    {
        slot.running = false;
        if (lost && !slot.outcome)
            Lost(slot);
        slot.phase = Slot::Phase::Ended;
    }

    void Take(Slot& slot, const DeviceEvent& event)
    {
        switch (event.kind) {
        case EventKind::PortTried:
            m_report->Searching(PortName(slot, event.port), slot.ports.size() > 1);
            break;
        case EventKind::Found: {
            slot.port = PortName(slot, event.port);
            FoundDevice device;
            device.port = slot.port;
            device.compatible = event.compatible;
            device.haveVersion = event.haveVersion;
            device.version1 = event.version1;
            device.version2 = event.version2;
            m_report->Found(device, m_firmware.device);
            slot.phase = device.compatible && Asks() ? Slot::Phase::Waiting : Slot::Phase::Working;
            break;
        }
        case EventKind::TransferStarted:
            slot.phase = Slot::Phase::Working;
            m_report->TransferStarted(slot.port, m_firmware.device);
            break;
        case EventKind::Progress: {
            std::optional<int> remaining;
            std::string text;
            if (event.remainingSeconds >= 0) {
                remaining = event.remainingSeconds;
                text = DurationText(event.remainingSeconds);
            }
            m_report->Progress(slot.port, std::clamp(event.percent, 0, 100), remaining, text);
            break;
        }
        case EventKind::Result: {
            const bool known = event.outcome >= 0 && event.outcome <= static_cast<int>(Outcome::Declined);
            const Outcome outcome = known ? static_cast<Outcome>(event.outcome) : Outcome::Interrupted;
            // After a search over several ports that found nothing no port
            // is to blame; otherwise the device's port.
            if (!(outcome == Outcome::NoDevice && slot.ports.size() > 1))
                slot.port = PortName(slot, event.port);
            slot.outcome = outcome;
            OutcomeContext context;
            context.device = m_firmware.device;
            if (outcome == Outcome::Done)
                context.elapsed = DurationText(event.elapsedSeconds);
            m_report->Result(slot.port, outcome, SecondsSince(slot.started), context);
            slot.phase = Slot::Phase::Ended;
            break;
        }
        default:
            break;
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
        // The request first: a device process winds its device down and is
        // killed only when it has not ended after the wind-down limit.
        m_supervisor.StopAll();
        if (!m_asking.empty()) {
            m_output.Prompt("\n");
            EndQuestion(false);
        }
        if (AnyRunning())
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
                m_supervisor.Answer(m_slots[i].process, yes);
                m_slots[i].phase = Slot::Phase::Working;
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
            m_output.Prompt("\n");
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
            pollfd extra[2] = {{m_signalFd, POLLIN, 0}, {m_asking.empty() ? -1 : STDIN_FILENO, POLLIN, 0}};
            int timeout = 1000;
            if (m_options.watch && !m_stopping) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_nextScan - Clock::now());
                timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, 1000));
            }
            const std::vector<SupervisedEvent> news = m_supervisor.Turn(timeout, extra);
            if (extra[0].revents != 0 && TakeSignals())
                OnSignal();
            if (extra[1].revents != 0 && !m_asking.empty())
                ReadAnswer();
            for (const SupervisedEvent& item : news) {
                const auto it = m_bySupervisorId.find(item.id);
                if (it == m_bySupervisorId.end())
                    continue;
                Slot& slot = m_slots[it->second];
                if (item.ended) {
                    Ended(slot, item.lost);
                    m_bySupervisorId.erase(it);
                } else {
                    Take(slot, item.event);
                }
            }
            MaybeAsk();
            if (m_options.watch && !m_stopping && Clock::now() >= m_nextScan)
                Scan();
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
    CFlashOutput m_output;
    std::unique_ptr<CFlashReport> m_report;
    int m_signalFd = -1;
    CLoadedFirmware m_firmware;
    CDeviceSupervisor m_supervisor;
    // In the order of the ports (watch mode: as they appeared); only
    // appended to, so an index stays good.
    std::vector<Slot> m_slots;
    std::map<int, size_t> m_bySupervisorId;  // running device processes: their slots
    bool m_stopping = false;
    bool m_signalled = false;
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
    const int status = run.Run();
    // An output that is still blocked after its limit (a reader that
    // stopped reading) does not hold the end: nothing more is written.
    if (!run.FinishOutput())
        _exit(status);
    return status;
}
