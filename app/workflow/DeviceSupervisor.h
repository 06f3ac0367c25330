#pragma once
// Starts device processes (cvf-device) and watches over them; the window's
// search and transfer workers and cvf-flash all use this one supervisor.
//
// - A device process gets exactly the sealed block of checked lines and
//   its job (DeviceMessages.h); it is started with posix_spawn, in a
//   process group of its own, with nothing of ours but its three
//   descriptors, so that only its own front end holds its pipes. Start it
//   from a thread that lives as long as the process may: a device process
//   takes its parent's death as the death of the thread that started it.
// - Before a device process first opens a port, it asks for it: the
//   supervisor opens the port itself first and keeps what it was
//   (CPortKeeper). A device process lost (crashed, killed) has its ports
//   given back as they were before the loss is reported.
// - A stop is a request; a device process is killed only once the wind-
//   down limit has passed since that request. A device process that has
//   said nothing for the silence limit is asked to stop.
// - Silence is measured on the supervisor's own clock, which advances each
//   turn by at most the turn's wait plus a second: a front end that was
//   stopped (job control, a held terminal, a suspended machine) reads what
//   came meanwhile before it judges anybody.
// One thread at a time uses a supervisor.

#include "app/workflow/DeviceMessages.h"
#include "firmware/FirmwareImage.h"
#include "link/PortKeeper.h"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/types.h>

inline constexpr int SILENCE_LIMIT_MS = 180000;
// The longest wind-down by design: one line (10 s), then DPZ and RST
// (10 s each) with their port opens; with room to spare.
inline constexpr int WIND_DOWN_LIMIT_MS = 90000;

struct SupervisorLimits {
    std::chrono::milliseconds silence{SILENCE_LIMIT_MS};
    std::chrono::milliseconds windDown{WIND_DOWN_LIMIT_MS};
};

// cvf-device beside the running program (the build tree), or in
// ../lib/cvf-update/ from it (installed), found through /proc/self/exe.
std::string DeviceProgramPath();

// How a device process is started, looked after and ended. The program's
// own starts cvf-device (CSpawnLauncher); a test may run the same work on
// a thread of its own.
class CDeviceLauncher {
public:
    virtual ~CDeviceLauncher() = default;
    // Starts it on these descriptors (its control, events and the block of
    // lines), which it takes over; a handle, or -1 with errno.
    virtual int64_t Launch(const std::string& program, int controlFd, int eventFd, int imageFd) = 0;
    // Without waiting: whether it has ended (and is reaped then).
    virtual bool Ended(int64_t handle) = 0;
    virtual void Kill(int64_t handle) = 0;
};

// posix_spawn in a process group of its own, with nothing of ours but its
// three descriptors; the handle is its pid.
class CSpawnLauncher : public CDeviceLauncher {
public:
    int64_t Launch(const std::string& program, int controlFd, int eventFd, int imageFd) override;
    bool Ended(int64_t handle) override;
    void Kill(int64_t handle) override;
};

// What a turn found out about one device process.
struct SupervisedEvent {
    int id = -1;
    bool ended = false;  // the process is over; no event of it follows
    bool lost = false;   // ended without its result; its ports are as they were before it
    DeviceEvent event{};  // when not ended
};

class CDeviceSupervisor {
public:
    explicit CDeviceSupervisor(std::string program = DeviceProgramPath());
    // Closes every pipe (a device process still running winds down by
    // itself) and waits for nobody.
    ~CDeviceSupervisor();
    CDeviceSupervisor(const CDeviceSupervisor&) = delete;
    CDeviceSupervisor& operator=(const CDeviceSupervisor&) = delete;

    void SetLimits(const SupervisorLimits& limits) { m_limits = limits; }
    void SetProgram(std::string program) { m_program = std::move(program); }
    // Another way to start device processes; nullptr: spawning cvf-device.
    void SetLauncher(std::shared_ptr<CDeviceLauncher> launcher);

    // Starts a device process for the job with the block of lines; its id,
    // or -1 with errno when it could not be started.
    int Start(DeviceJobSpec job, const CFirmwareImage& image);
    // The answer to its question.
    void Answer(int id, bool yes);
    // Asks it to stop.
    void Stop(int id);
    void StopAll();
    bool IsRunning(int id) const;
    size_t RunningCount() const;
    // Its launcher's handle: the pid of a spawned one.
    int64_t Pid(int id) const;

    // Waits up to timeoutMs for news of the device processes or for the
    // extra descriptors (their revents are filled in), and returns the news
    // in the order it came. Never waits for a child, a pipe or its own
    // output beyond that.
    std::vector<SupervisedEvent> Turn(int timeoutMs, std::span<pollfd> extra = {});

private:
    using Duration = std::chrono::steady_clock::duration;
    struct Process {
        int64_t pid = -1;  // the launcher's handle
        int events = -1;   // read end, non-blocking
        int control = -1;  // write end, non-blocking
        std::string unsent;
        CFrameReader reader;
        std::vector<PortInfo> ports;
        std::map<int, CPortKeeper> keepers;  // by port index
        std::vector<int> wanted;             // ports asked for while no descriptor was to be had
        Duration heard{};  // on the supervisor's clock
        std::optional<Duration> stopAt;
        bool killed = false;
        bool result = false;  // its result came
        bool broken = false;  // a message that made no sense: nothing more is believed
    };

    void Send(Process& process, const ControlMessage& message);
    // Writes what the control pipe takes now; the rest waits for room.
    void Flush(Process& process);
    void Read(int id, Process& process, std::vector<SupervisedEvent>& out);
    void Take(int id, Process& process, const DeviceEvent& event, std::vector<SupervisedEvent>& out);
    void Judge(Process& process);
    // Answers a request for port index: granted once it is held, refused
    // when it cannot be; false while no descriptor is to be had (asked
    // again at the next turn).
    bool Grant(Process& process, int index);
    // After the end of its pipe: reaps it without waiting; true when it is
    // gone and its end was reported.
    bool Reap(int id, Process& process, std::vector<SupervisedEvent>& out);
    void RequestStop(Process& process);

    std::string m_program;
    std::shared_ptr<CDeviceLauncher> m_launcher;
    SupervisorLimits m_limits;
    std::map<int, Process> m_processes;
    int m_nextId = 1;
    Duration m_clock{};
    std::chrono::steady_clock::time_point m_lastTurn = std::chrono::steady_clock::now();
};
