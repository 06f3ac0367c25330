#include "app/flash/FlashRun.h"

#include "app/flash/FlashEnd.h"
#include "app/flash/FlashOutput.h"
#include "app/flash/FlashPorts.h"
#include "app/flash/FlashQuestion.h"
#include "app/flash/FlashRecord.h"
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
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;
using namespace std::chrono_literals;

// Watch mode lists the ports again this often.
constexpr auto kScanInterval = 500ms;
// What is still to be written may take this long at the end.
constexpr auto kOutputLimit = 2s;
// Descriptors a device process's start takes for a moment (its pipes and
// their copies for the child), on top of what it keeps.
constexpr int kStartDescriptors = 8;

int Status(Outcome outcome)
{
    return OutcomeTable(outcome).exitStatus;
}

std::string JoinLines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += (text.empty() ? "" : "\n") + line;
    return text;
}

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Descriptors this process may still open.
int FreeDescriptors()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return INT_MAX;
    std::error_code error;
    int open = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++open;
    return static_cast<int>(limit.rlim_cur) - open;
}

// As many descriptors as the system lets this process have: many devices
// at once need three or more each.
void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// One device, or one search over several ports, and what became of it.
struct Slot {
    enum class Phase { Pending, Searching, Waiting, Working };

    std::vector<PortInfo> ports;   // what the search asks
    bool noDeviceCounts = true;    // whether "no device" here decides the exit status
    std::string watchKey;          // watch mode: the port's identity

    std::string port;              // the device's port; empty for a search over several until one answers
    std::string path;
    std::optional<UsbInfo> usb;
    int process = -1;              // the device process's id with the supervisor
    Phase phase = Phase::Pending;
    bool answeredYes = false;      // a retry does not ask again
    int retriesLeft = 0;
    int attempts = 0;              // transfers started
    std::optional<Outcome> outcome;
    int elapsedSeconds = 0;
    std::optional<std::string> fromVersion;
    std::optional<std::string> deviceIndex;
    bool lost = false;
    bool begun = false;            // its first device process was started
    Clock::time_point started = Clock::now();
    WallClock::time_point startedWall = WallClock::now();
};

class CFlashRun {
public:
    explicit CFlashRun(const FlashOptions& options)
        : m_options(options), m_report(MakeFlashReport(options.json, options.quiet, m_output, m_run))
    {
        m_signalFd = OpenEndSignalFd();
        sigset_t winch;
        sigemptyset(&winch);
        sigaddset(&winch, SIGWINCH);
        m_winchFd = signalfd(-1, &winch, SFD_NONBLOCK | SFD_CLOEXEC);
        m_supervisor.SetLimits({std::chrono::milliseconds(options.silenceLimitMs),
                                std::chrono::milliseconds(options.windDownLimitMs)});
    }
    ~CFlashRun()
    {
        for (int fd : {m_signalFd, m_winchFd}) {
            if (fd >= 0)
                close(fd);
        }
    }
    CFlashRun(const CFlashRun&) = delete;
    CFlashRun& operator=(const CFlashRun&) = delete;

    int Run()
    {
        if (m_options.list)
            return List();
        const int status = Update();
        Summarize(status);
        return status;
    }

    // Whether everything was written within its limit at the end.
    bool FinishOutput() { return m_output.Finish(kOutputLimit); }

private:
    bool Asks() const { return !m_options.yes && !m_options.dryRun; }

    std::vector<PortInfo> Listed() const { return ListSerialPorts(PortDirectory(), m_options.sysfsRoot); }

    PortFacts Facts() const
    {
        return {[this] { return Listed(); }, [](const std::string& path) { return ProbePortState(path); },
                [this](const std::string& path) { return ReadUsbInfo(m_options.sysfsRoot, path); }};
    }

    PortFilter Filter() const { return {m_options.match, m_options.all || m_options.watch, m_options.anyPort}; }

    // --list
    int List()
    {
        const std::vector<PortInfo> ports = Listed();
        for (const PortInfo& port : ports)
            m_report->ListedPort(port, ProbePortState(port.path), ReadUsbInfo(m_options.sysfsRoot, port.path));
        m_report->ListEnd();
        if (const std::string refusal = PortDirectoryRefusal(); !refusal.empty())
            m_report->Error(0, refusal);
        return ports.empty() ? Status(Outcome::NoPort) : 0;
    }

    int Update()
    {
        if (Asks() && isatty(STDIN_FILENO) == 0) {
            m_report->Error(EXIT_USAGE, Text(IDS_FLASH_NO_TERMINAL));
            return EXIT_USAGE;
        }
        // Before anything is sent: a record that cannot be kept ends the run.
        if (!m_options.record.empty() && !m_record.Open(m_options.record)) {
            m_report->Error(EXIT_USAGE, FormatText(Text(IDS_FLASH_RECORD_CANNOT_OPEN),
                                                   {m_options.record, std::strerror(errno)}));
            return EXIT_USAGE;
        }
        RaiseDescriptorLimit();
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
        // Devices that were never started (a record that failed) end too,
        // each with its one result.
        while (!m_slots.empty()) {
            m_slots.begin()->second.outcome = Outcome::SearchStopped;
            Finish(m_slots.begin()->first);
        }
        if (m_recordFailed)
            return EXIT_USAGE;
        return Ending();
    }

    // Checks the file on a thread of its own, so that an end signal can
    // stop a long check. -1 when it is good, otherwise the exit status.
    int Load()
    {
        const std::string& path = m_options.file;
        CFirmwareFile file;
        CFileError error;
        if (!file.Open(path.c_str(), CFirmwareFile::modeRead, &error)) {
            // The file's text first, then what the system says of it.
            m_report->Error(Status(Outcome::CannotOpen),
                            FormatText(IDS_CANNOT_OPEN, path) + "\n" + std::strerror(error.m_osError));
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
        case LoadOutcome::Loaded: {
            std::error_code error;
            m_filePath = std::filesystem::absolute(path, error).lexically_normal().string();
            m_report->FileLoaded(path, m_firmware);
            return -1;
        }
        case LoadOutcome::CannotOpen:
            m_report->Error(Status(Outcome::CannotOpen), FormatText(IDS_CANNOT_OPEN, path));
            return Status(Outcome::CannotOpen);
        case LoadOutcome::Faulty:
            m_report->Error(Status(Outcome::LoadFaulty), path + "\n" + JoinLines(ResultLines(Outcome::LoadFaulty, {})));
            return Status(Outcome::LoadFaulty);
        case LoadOutcome::Stopped:
            return Status(Outcome::LoadStopped);
        }
        return Status(Outcome::LoadFaulty);
    }

    // Why a port named with -p cannot be searched.
    void PortRefused(const PlannedSearch& refused)
    {
        const std::string& name = refused.refusedName;
        std::string text;
        switch (refused.refusedState) {
        case PortState::NoPermission:
            text = NoPermissionText(name, refused.refusedPath);
            break;
        case PortState::Missing:
            text = FormatText(IDS_FLASH_PORT_UNKNOWN, name);
            break;
        case PortState::Unusable:
            if (!IsTerminalDevice(refused.refusedPath, m_options.sysfsRoot)) {
                text = FormatText(IDS_FLASH_NOT_A_TERMINAL, name);
                break;
            }
            [[fallthrough]];
        default:
            text = FormatText(IDS_FLASH_PORT_BUSY, name);
            break;
        }
        m_report->Error(Status(Outcome::NoPort), text, name);
    }

    // A port directory that is there but not used, and why; empty when
    // there is none or it is fine.
    static std::string PortDirectoryRefusal()
    {
        const std::string directory = PortDirectory();
        struct stat st {};
        if (lstat(directory.c_str(), &st) != 0)
            return {};
        std::string why;
        const int fd = OpenPortDirectory(directory, false, why);
        if (fd >= 0) {
            close(fd);
            return {};
        }
        return FormatText(Text(IDS_FLASH_PORT_DIR_REFUSED), {directory, why});
    }

    void NoPortAtAll(const std::string& deniedPort, const std::string& deniedPath)
    {
        std::vector<std::string> lines = ResultLines(Outcome::NoPort, {});
        // The usual reason on this system is a missing group membership.
        if (!deniedPort.empty())
            lines.push_back(NoPermissionText(deniedPort, deniedPath));
        if (const std::string refusal = PortDirectoryRefusal(); !refusal.empty())
            lines.push_back(refusal);
        m_report->Error(Status(Outcome::NoPort), JoinLines(lines));
    }

    // Chooses the ports and starts a process for each device (one for a
    // search over several ports). False when there is nothing to search.
    bool Plan()
    {
        const PortPlan plan = PlanPorts(m_options.ports, m_options.all, Filter(), Facts());
        for (const PlannedSearch& refused : plan.refused)
            PortRefused(refused);
        bool any = false;
        for (const PlannedSearch& search : plan.searches) {
            if (search.Refused()) {
                // Keeps its place for the exit status.
                m_ended.push_back({m_nextSeq++, {.refused = true}});
                continue;
            }
            any = true;
            Slot slot;
            slot.ports = search.ports;
            slot.noDeviceCounts = search.noDeviceCounts;
            Add(std::move(slot));
        }
        if (!any) {
            if (plan.refused.empty())
                NoPortAtAll(plan.deniedPort, plan.deniedPath);
            return false;
        }
        if (plan.portsInOneSearch > 1)
            m_report->Note(FormatText(IDS_PORTS_FOUND, static_cast<int>(plan.portsInOneSearch)));
        StartWaiting();
        return true;
    }

    // A slot for a device, started when its turn comes.
    void Add(Slot slot)
    {
        if (slot.ports.size() == 1) {
            slot.port = slot.ports[0].name;
            slot.path = slot.ports[0].path;
            slot.usb = ReadUsbInfo(m_options.sysfsRoot, slot.path);
        }
        slot.retriesLeft = m_options.retry;
        const uint64_t seq = m_nextSeq++;
        m_slots.emplace(seq, std::move(slot));
        m_pending.push_back(seq);
    }

    // Watch mode: starts a search on every port that has appeared since
    // the last look.
    void Scan()
    {
        m_nextScan = Clock::now() + kScanInterval;
        const std::vector<PortInfo> listed = Listed();
        std::vector<PortInfo> ports;
        if (m_options.ports.empty()) {
            const PortFilter filter = Filter();
            for (const PortInfo& port : listed) {
                if (PortAllowed(port, ReadUsbInfo(m_options.sysfsRoot, port.path), filter))
                    ports.push_back(port);
            }
        } else {
            for (const std::string& name : m_options.ports) {
                if (std::optional<PortInfo> port = ResolvePort(name, listed))
                    ports.push_back(std::move(*port));
            }
        }

        std::set<std::string> present;
        for (const PortInfo& port : ports) {
            const std::string key = WatchKey(port);
            if (key.empty())
                continue;
            present.insert(key);
            if (m_seen.count(key) != 0)
                continue;
            const PortState state = ProbePortState(port.path);
            if (state != PortState::Free) {
                // Tried again at the next look (a modem manager may hold a
                // fresh port for some seconds); said once.
                if (m_refusedNoted.insert(key).second && state == PortState::NoPermission)
                    m_report->Note(NoPermissionText(port.name, port.path));
                continue;
            }
            m_seen.insert(key);
            Slot slot;
            slot.ports = {port};
            slot.noDeviceCounts = false;
            slot.watchKey = key;
            Add(std::move(slot));
        }
        std::erase_if(m_seen, [&present](const std::string& key) { return present.count(key) == 0; });
        std::erase_if(m_refusedNoted, [&present](const std::string& key) { return present.count(key) == 0; });
        StartWaiting();
    }

    size_t Running() const { return m_byProcess.size(); }

    // Starts the slots that wait, as far as --jobs and the descriptors
    // allow; a start that finds no descriptor waits for a device to end.
    void StartWaiting()
    {
        while (!m_pending.empty() && !m_stopping && !m_recordFailed) {
            if (m_options.jobs > 0 && Running() >= static_cast<size_t>(m_options.jobs))
                return;
            const auto it = m_slots.find(m_pending.front());
            if (it == m_slots.end()) {
                m_pending.pop_front();
                continue;
            }
            Slot& slot = it->second;
            const int needed = kStartDescriptors + static_cast<int>(slot.ports.size());
            if (Running() > 0 && FreeDescriptors() < needed)
                return;
            if (!Start(it->first, slot) && Running() > 0)
                return;  // out of descriptors: after the next end
            m_pending.pop_front();
        }
    }

    // False when it could not start for lack of descriptors (it waits);
    // any other failure ends the slot.
    bool Start(uint64_t seq, Slot& slot)
    {
        DeviceJobSpec job;
        job.ports = slot.ports;
        job.dryRun = m_options.dryRun;
        job.ask = Asks() && !slot.answeredYes;
        const int id = m_supervisor.Start(std::move(job), m_firmware.image);
        if (id < 0) {
            const int error = errno;
            if ((error == EMFILE || error == ENFILE) && Running() > 0)
                return false;
            m_report->Error(Status(Outcome::Interrupted), FormatText(IDS_CANNOT_START, std::strerror(error)), slot.port);
            slot.outcome = Outcome::Interrupted;
            Finish(seq);
            return true;
        }
        if (!slot.begun) {
            // Its time runs from its first start, not from its wait for a turn.
            slot.begun = true;
            slot.started = Clock::now();
            slot.startedWall = WallClock::now();
        }
        slot.process = id;
        slot.phase = Slot::Phase::Searching;
        m_byProcess[id] = seq;
        return true;
    }

    void Take(uint64_t seq, Slot& slot, const DeviceEvent& event)
    {
        const auto portOf = [&slot](int index) -> const PortInfo* {
            return index >= 0 && static_cast<size_t>(index) < slot.ports.size() ? &slot.ports[static_cast<size_t>(index)]
                                                                                : nullptr;
        };
        switch (event.kind) {
        case EventKind::PortTried:
            if (const PortInfo* port = portOf(event.port))
                m_report->Searching(port->name, slot.ports.size() > 1);
            break;
        case EventKind::Found: {
            if (const PortInfo* port = portOf(event.port)) {
                if (slot.port != port->name) {
                    slot.port = port->name;
                    slot.path = port->path;
                    slot.usb = ReadUsbInfo(m_options.sysfsRoot, slot.path);
                }
            }
            FoundDevice device;
            device.port = slot.port;
            device.compatible = event.compatible;
            device.haveVersion = event.haveVersion;
            device.version1 = event.version1;
            device.version2 = event.version2;
            if (event.haveVersion && !slot.fromVersion)
                slot.fromVersion = VersionLine(event.version1, event.version2);
            slot.deviceIndex = event.compatible ? std::nullopt : std::optional<std::string>(event.deviceIndex);
            // A device searched again for a retry was seen already.
            if (slot.attempts == 0)
                m_report->Found(device, m_firmware.device);
            if (device.compatible && Asks() && !slot.answeredYes) {
                slot.phase = Slot::Phase::Waiting;
                m_waiting.push_back(seq);
            } else {
                slot.phase = Slot::Phase::Working;
            }
            break;
        }
        case EventKind::TransferStarted:
            slot.phase = Slot::Phase::Working;
            ++slot.attempts;
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
            slot.outcome = OutcomeFromCode(event.outcome).value_or(Outcome::Interrupted);
            // After a search over several ports that found nothing no port
            // is to blame; otherwise the device's port.
            if (!(slot.outcome == Outcome::NoDevice && slot.ports.size() > 1)) {
                if (const PortInfo* port = portOf(event.port)) {
                    slot.port = port->name;
                    slot.path = port->path;
                }
            }
            slot.elapsedSeconds = event.elapsedSeconds;
            break;
        }
        default:
            break;
        }
    }

    // Its device process is over: retried, or its result told.
    void Ended(uint64_t seq, Slot& slot, bool lost)
    {
        slot.process = -1;
        std::erase(m_waiting, seq);
        if (std::erase(m_asking, seq) > 0 && m_asking.empty())
            m_report->Answered("", false);  // nobody left to answer for
        if (lost) {
            // It may have left its device mid-update; its ports are as they
            // were before it.
            const std::string name = slot.port.empty() ? std::string("?") : slot.port;
            slot.outcome = LostOutcome(slot.attempts > 0);
            m_report->Error(Status(*slot.outcome), FormatText(IDS_FLASH_PROCESS_LOST, name), slot.port);
            slot.lost = true;
        }
        const Outcome outcome = slot.outcome.value_or(Outcome::Interrupted);
        if (OutcomeTable(outcome).retried && slot.retriesLeft > 0 && slot.attempts > 0 && !m_stopping && !m_recordFailed &&
            !slot.path.empty()) {
            // Again on the port it was found on, right after its closing
            // commands; the answer given stands.
            --slot.retriesLeft;
            slot.ports = {{slot.port, slot.path}};
            slot.answeredYes = true;
            slot.outcome.reset();
            slot.lost = false;
            slot.phase = Slot::Phase::Pending;
            m_pending.push_front(seq);
            return;
        }
        Finish(seq);
    }

    // The one result of a slot: recorded, then told; the slot is freed.
    void Finish(uint64_t seq)
    {
        const auto it = m_slots.find(seq);
        if (it == m_slots.end())
            return;
        Slot& slot = it->second;
        DeviceResult result;
        result.port = slot.port;
        result.path = slot.path;
        result.usb = slot.usb;
        result.outcome = slot.outcome.value_or(Outcome::Interrupted);
        result.seconds = SecondsSince(slot.started);
        result.started = slot.startedWall;
        result.ended = WallClock::now();
        result.fromVersion = slot.fromVersion;
        result.toVersion = VersionLine(m_firmware.version1, m_firmware.version2);
        result.fileSha256 = m_firmware.fileSha256;
        result.attempts = slot.attempts;
        if (result.outcome == Outcome::Incompatible)
            result.deviceIndex = slot.deviceIndex;
        result.context.device = m_firmware.device;
        if (result.outcome == Outcome::Done)
            result.context.elapsed = DurationText(slot.elapsedSeconds);
        const std::string time = IsoTime(result.ended);

        if (m_record.IsOpen() && !m_recordFailed) {
            if (!m_record.Append(ResultEventJson(result, m_run, time, &m_filePath))) {
                const std::string reason = std::strerror(errno);
                m_recordFailed = true;
                m_report->Error(EXIT_USAGE, FormatText(Text(IDS_FLASH_RECORD_FAILED), {m_options.record, reason}),
                                slot.port);
            }
        }
        m_report->Result(result, time);
        m_ended.push_back({seq, {.outcome = result.outcome, .noDeviceCounts = slot.noDeviceCounts}});
        m_slots.erase(it);
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
        if (!m_asking.empty())
            EndQuestion(false, "", false);
        // Devices that did not start never will.
        for (const uint64_t seq : std::vector<uint64_t>(m_pending.begin(), m_pending.end())) {
            const auto it = m_slots.find(seq);
            if (it != m_slots.end() && it->second.process < 0) {
                it->second.outcome = Outcome::SearchStopped;
                Finish(seq);
            }
        }
        m_pending.clear();
        if (Running() > 0)
            m_report->Note(Text(IDS_FLASH_ENDING));
    }

    // A search runs, or one waits for its turn that may still come while
    // the question is unasked (with --jobs the waiting devices may hold
    // every turn).
    bool SearchesRunning() const
    {
        const bool room = m_options.jobs == 0 || Running() < static_cast<size_t>(m_options.jobs);
        return std::any_of(m_slots.begin(), m_slots.end(), [room](const auto& entry) {
            return entry.second.phase == Slot::Phase::Searching || (room && entry.second.phase == Slot::Phase::Pending);
        });
    }

    // Asks when the devices waiting for it may be asked (QuestionText).
    void MaybeAsk()
    {
        if (!m_asking.empty() || m_stopping || !Asks())
            return;
        m_asking = DevicesToAsk(m_waiting, m_options.watch, SearchesRunning());
        if (m_asking.empty())
            return;
        if (m_stdinClosed) {
            EndQuestion(false, "", false);
            return;
        }
        // An answer typed before the question counts for nothing.
        tcflush(STDIN_FILENO, TCIFLUSH);
        m_answer.clear();
        const auto it = m_slots.find(m_asking.front());
        const bool named = m_options.watch && it != m_slots.end();
        m_report->Ask(QuestionText(named ? it->second.port : std::string()));
    }

    void EndQuestion(bool yes, const std::string& answer, bool echoed)
    {
        for (const uint64_t seq : m_asking) {
            std::erase(m_waiting, seq);
            const auto it = m_slots.find(seq);
            if (it == m_slots.end() || it->second.process < 0)
                continue;
            m_supervisor.Answer(it->second.process, yes);
            it->second.phase = Slot::Phase::Working;
            it->second.answeredYes = yes;
        }
        m_asking.clear();
        m_report->Answered(answer, echoed);
    }

    void ReadAnswer()
    {
        char buffer[256];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (n <= 0) {
            m_stdinClosed = true;
            EndQuestion(false, "", false);
            return;
        }
        m_answer.append(buffer, static_cast<size_t>(n));
        const size_t end = m_answer.find('\n');
        if (end != std::string::npos) {
            std::string line = m_answer.substr(0, end);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            EndQuestion(IsYes(line), line, isatty(STDIN_FILENO) != 0);
        } else if (m_answer.size() > 200) {
            EndQuestion(false, "", false);
        }
    }

    void Loop()
    {
        for (;;) {
            if (Running() == 0 && (m_pending.empty() || m_stopping || m_recordFailed) &&
                (!m_options.watch || m_stopping || m_recordFailed))
                return;
            pollfd extra[3] = {{m_signalFd, POLLIN, 0},
                               {m_asking.empty() ? -1 : STDIN_FILENO, POLLIN, 0},
                               {m_winchFd, POLLIN, 0}};
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
            if (extra[2].revents != 0) {
                signalfd_siginfo info{};
                while (read(m_winchFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                }
                m_report->TerminalResized();
            }
            for (const SupervisedEvent& item : news) {
                const auto owner = m_byProcess.find(item.id);
                if (owner == m_byProcess.end())
                    continue;
                const uint64_t seq = owner->second;
                const auto it = m_slots.find(seq);
                if (item.ended)
                    m_byProcess.erase(owner);
                if (it == m_slots.end())
                    continue;
                if (item.ended)
                    Ended(seq, it->second, item.lost);
                else
                    Take(seq, it->second, item.event);
            }
            StartWaiting();
            MaybeAsk();
            if (m_options.watch && !m_stopping && !m_recordFailed && Clock::now() >= m_nextScan)
                Scan();
        }
    }

    int Ending()
    {
        std::sort(m_ended.begin(), m_ended.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        RunEnd end;
        for (const auto& [seq, device] : m_ended)
            end.devices.push_back(device);
        end.signalled = m_signalled;
        end.watch = m_options.watch;
        end.dryRun = m_options.dryRun;
        end.expect = m_options.expect;
        const int status = ExitStatus(end);
        if (status == Status(Outcome::FewerThanExpected)) {
            const int updated = static_cast<int>(std::count_if(end.devices.begin(), end.devices.end(),
                                                               [&](const DeviceEnd& d) { return Updated(d, end.dryRun); }));
            m_report->Error(status, FormatText(Text(IDS_FLASH_FEWER_THAN_EXPECTED),
                                               {std::to_string(updated), std::to_string(*m_options.expect)}));
        }
        return status;
    }

    void Summarize(int status)
    {
        std::vector<DeviceEnd> devices;
        for (const auto& [seq, device] : m_ended)
            devices.push_back(device);
        RunSummary summary;
        summary.counts = OutcomeCounts(devices);
        summary.exitStatus = status;
        summary.seconds = SecondsSince(m_runStart);
        summary.updated = static_cast<int>(
            std::count_if(devices.begin(), devices.end(), [&](const DeviceEnd& d) { return Updated(d, m_options.dryRun); }));
        summary.failed = static_cast<int>(std::count_if(devices.begin(), devices.end(), Failed));
        m_report->Summary(summary);
    }

    const FlashOptions& m_options;
    const Clock::time_point m_runStart = Clock::now();
    CFlashOutput m_output;
    const std::string m_run = NewRunId();
    std::unique_ptr<CFlashReport> m_report;
    int m_signalFd = -1;
    int m_winchFd = -1;
    CLoadedFirmware m_firmware;
    std::string m_filePath;  // absolute, for the records
    CRecordFile m_record;
    bool m_recordFailed = false;
    CDeviceSupervisor m_supervisor;

    uint64_t m_nextSeq = 0;                 // slots in the order of the ports (watch mode: as they appeared)
    std::map<uint64_t, Slot> m_slots;       // the devices not ended yet
    std::deque<uint64_t> m_pending;         // slots waiting for their start
    std::map<int, uint64_t> m_byProcess;    // running device processes: their slots
    std::vector<std::pair<uint64_t, DeviceEnd>> m_ended;  // what the ended ones left for the end
    bool m_stopping = false;
    bool m_signalled = false;

    std::deque<uint64_t> m_waiting;   // found, waiting to be asked about, in the order they came
    std::vector<uint64_t> m_asking;   // the slots the open question is about
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
