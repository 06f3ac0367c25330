#include "app/device/DeviceProcess.h"

#include "app/workflow/DeviceMessages.h"
#include "app/workflow/EndSignalSet.h"
#include "app/workflow/Operations.h"
#include "app/workflow/Outcome.h"
#include "firmware/FirmwareImage.h"
#include "link/DeviceLink.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long the job waits for its first message, and how long its last
// message may wait for a front end that does not read (stopped, say);
// the port is given back before that wait.
constexpr auto kJobWait = 60s;
constexpr auto kResultWait = 10min;
// A front end that does not answer a request for a port in this time has
// refused it.
constexpr auto kPortWait = 30s;

// The messages to the front end, written without ever waiting for room:
// what does not fit now waits here, and a progress report still waiting is
// replaced by the next one. Any thread may post.
class COutbox {
public:
    explicit COutbox(int fd) : m_fd(fd)
    {
        const int flags = fcntl(fd, F_GETFL);
        if (flags >= 0)
            fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    ~COutbox()
    {
        if (m_wake >= 0)
            close(m_wake);
    }
    COutbox(const COutbox&) = delete;
    COutbox& operator=(const COutbox&) = delete;

    void Post(const DeviceEvent& event)
    {
        std::lock_guard lock(m_mutex);
        if (m_gone)
            return;
        std::string frame = EncodeMessage(event);
        // A waiting report of progress is replaced, unless it is partly
        // written already.
        const bool merge = event.kind == EventKind::Progress && m_backIsProgress &&
                           (m_queue.size() > 1 || m_written == 0);
        if (merge)
            m_queue.back() = std::move(frame);
        else
            m_queue.push_back(std::move(frame));
        m_backIsProgress = event.kind == EventKind::Progress;
        m_lastPost = Clock::now();
        WriteLocked();
        if (!m_queue.empty()) {
            const uint64_t one = 1;
            (void)!write(m_wake, &one, sizeof one);
        }
    }

    // Writes what the pipe takes now; false once the front end is gone.
    bool Flush()
    {
        std::lock_guard lock(m_mutex);
        WriteLocked();
        return !m_gone;
    }
    bool Pending() const
    {
        std::lock_guard lock(m_mutex);
        return !m_queue.empty() && !m_gone;
    }
    bool Gone() const
    {
        std::lock_guard lock(m_mutex);
        return m_gone;
    }
    Clock::time_point LastPost() const
    {
        std::lock_guard lock(m_mutex);
        return m_lastPost;
    }
    int Fd() const { return m_fd; }
    int WakeFd() const { return m_wake; }
    void TakeWake()
    {
        uint64_t count = 0;
        (void)!read(m_wake, &count, sizeof count);
    }

private:
    void WriteLocked()
    {
        while (!m_queue.empty() && !m_gone) {
            const std::string& frame = m_queue.front();
            const ssize_t n = write(m_fd, frame.data() + m_written, frame.size() - m_written);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return;
            if (n <= 0) {
                m_gone = true;  // EPIPE: nobody reads any more
                m_queue.clear();
                return;
            }
            m_written += static_cast<size_t>(n);
            if (m_written == frame.size()) {
                m_queue.pop_front();
                m_written = 0;
                if (m_queue.empty())
                    m_backIsProgress = false;
            }
        }
    }

    const int m_fd;
    int m_wake = -1;
    mutable std::mutex m_mutex;
    std::deque<std::string> m_queue;
    size_t m_written = 0;  // of the first frame
    bool m_backIsProgress = false;  // the last frame queued is a progress report
    bool m_gone = false;
    Clock::time_point m_lastPost = Clock::now();
};

// Listens to the front end and to the end signals on a thread of its own,
// writes what the outbox holds when the pipe has room, and says Alive when
// nothing else was said for a while.
class CListener {
public:
    CListener(int controlFd, COutbox& outbox, CStopRequest& stop) : m_controlFd(controlFd), m_outbox(outbox), m_stop(stop)
    {
        m_signalFd = OpenEndSignalFd();
        m_quitFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        m_thread = std::thread([this] { Listen(); });
    }
    ~CListener()
    {
        const uint64_t one = 1;
        (void)!write(m_quitFd, &one, sizeof one);
        m_thread.join();
        for (int fd : {m_signalFd, m_quitFd}) {
            if (fd >= 0)
                close(fd);
        }
    }
    CListener(const CListener&) = delete;
    CListener& operator=(const CListener&) = delete;

    // The job, once it came; nothing when none came in time or the front
    // end went first.
    std::optional<DeviceJobSpec> WaitForJob(std::chrono::milliseconds limit)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, limit, [this] { return m_job.has_value() || m_parentGone || m_stop.Requested(); });
        return m_job;
    }

    // Whether the front end may be asked for port i and gave it; false on
    // a refusal, a stop, or a front end gone.
    bool WaitForPort(int port)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, kPortWait, [&] {
            return std::find(m_granted.begin(), m_granted.end(), port) != m_granted.end() ||
                   std::find(m_refused.begin(), m_refused.end(), port) != m_refused.end() || m_stop.Requested();
        });
        return !m_stop.Requested() && std::find(m_granted.begin(), m_granted.end(), port) != m_granted.end();
    }

    // The answer to the question: true for yes; false for no, a stop or a
    // front end gone.
    bool WaitForAnswer()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_answer.has_value() || m_stop.Requested(); });
        return m_answer.value_or(false) && !m_stop.Requested();
    }

    // Waits until the outbox is empty, the front end is gone, or the limit
    // passed.
    void WaitForOutbox(std::chrono::milliseconds limit)
    {
        const auto deadline = Clock::now() + limit;
        std::unique_lock lock(m_mutex);
        while (m_outbox.Pending() && !m_parentGone && Clock::now() < deadline)
            m_changed.wait_for(lock, 100ms);
    }

private:
    void Stop()
    {
        m_stop.Request();
        std::lock_guard lock(m_mutex);
        m_changed.notify_all();
    }

    void ParentGone()
    {
        {
            std::lock_guard lock(m_mutex);
            m_parentGone = true;
        }
        Stop();
    }

    void Take(const ControlMessage& message)
    {
        std::lock_guard lock(m_mutex);
        switch (message.kind) {
        case ControlKind::Job:
            if (!m_job)
                m_job = message.job;
            break;
        case ControlKind::PortGranted:
            m_granted.push_back(message.port);
            break;
        case ControlKind::PortRefused:
            m_refused.push_back(message.port);
            break;
        case ControlKind::Answer:
            if (!m_answer)
                m_answer = message.yes;
            break;
        case ControlKind::Stop:
            m_stop.Request();
            break;
        }
        m_changed.notify_all();
    }

    void ReadControl(pollfd& entry)
    {
        char buffer[4096];
        const ssize_t n = read(m_controlFd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (n <= 0) {
            entry.fd = -1;
            ParentGone();
            return;
        }
        m_reader.Feed(buffer, static_cast<size_t>(n));
        std::string payload;
        for (;;) {
            const CFrameReader::Next next = m_reader.Take(payload);
            if (next == CFrameReader::Next::None)
                break;
            ControlMessage message;
            if (next == CFrameReader::Next::Broken || !DecodeMessage(payload, message)) {
                // Nothing more from this front end can be trusted.
                entry.fd = -1;
                ParentGone();
                return;
            }
            Take(message);
        }
    }

    void Listen()
    {
        const pid_t parent = getppid();
        pollfd fds[4] = {{m_signalFd, POLLIN, 0}, {m_controlFd, POLLIN, 0}, {m_quitFd, POLLIN, 0},
                         {m_outbox.WakeFd(), POLLIN, 0}};
        pollfd out{m_outbox.Fd(), POLLOUT, 0};
        for (;;) {
            const bool pending = m_outbox.Pending();
            std::vector<pollfd> all(fds, fds + 4);
            if (pending)
                all.push_back(out);
            const auto sinceLast = Clock::now() - m_outbox.LastPost();
            const auto untilAlive = std::chrono::milliseconds(ALIVE_INTERVAL_MS) -
                                    std::chrono::duration_cast<std::chrono::milliseconds>(sinceLast);
            const int timeout = static_cast<int>(std::clamp<long long>(untilAlive.count(), 0, ALIVE_INTERVAL_MS));
            const int ready = poll(all.data(), all.size(), timeout);
            if (ready < 0 && errno != EINTR) {
                ParentGone();
                return;
            }
            if (all[2].revents != 0)
                return;
            if (all[0].revents != 0) {
                signalfd_siginfo info{};
                while (read(m_signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                    Stop();
            }
            if (all[1].revents != 0)
                ReadControl(fds[1]);
            if (all[3].revents != 0)
                m_outbox.TakeWake();
            if (pending && all.size() > 4 && all[4].revents != 0) {
                if (!m_outbox.Flush())
                    ParentGone();
                std::lock_guard lock(m_mutex);
                m_changed.notify_all();
            }
            // A parent that went without closing our pipe (the pipe shared
            // by mistake) is noticed all the same.
            if (getppid() != parent)
                ParentGone();
            if (Clock::now() - m_outbox.LastPost() >= std::chrono::milliseconds(ALIVE_INTERVAL_MS))
                m_outbox.Post(DeviceEvent{.kind = EventKind::Alive});
        }
    }

    int m_controlFd;
    COutbox& m_outbox;
    CStopRequest& m_stop;
    int m_signalFd = -1;
    int m_quitFd = -1;
    CFrameReader m_reader;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<DeviceJobSpec> m_job;
    std::vector<int> m_granted;
    std::vector<int> m_refused;
    std::optional<bool> m_answer;
    bool m_parentGone = false;
    std::thread m_thread;
};

// The operations' reports, as messages.
class CReporter : public COperationObserver {
public:
    CReporter(COutbox& outbox, const std::vector<PortInfo>& ports) : m_outbox(outbox), m_ports(ports) {}

    int IndexOf(const std::string& path) const
    {
        for (size_t i = 0; i < m_ports.size(); ++i) {
            if (m_ports[i].path == path)
                return static_cast<int>(i);
        }
        return -1;
    }
    int Current() const { return m_current; }

    void OnPortTried(const PortInfo& port) override
    {
        m_current = IndexOf(port.path);
        m_outbox.Post({.kind = EventKind::PortTried, .port = m_current});
    }
    void OnAttemptMade() override { m_outbox.Post({.kind = EventKind::Attempt, .port = m_current}); }
    void OnDeviceAnswered() override { m_outbox.Post({.kind = EventKind::Answered, .port = m_current}); }
    void OnTransferProgress(int percent, std::optional<int32_t> remaining) override
    {
        // The same percentage again says nothing new.
        if (percent == m_lastPercent && !remaining)
            return;
        m_lastPercent = percent;
        m_outbox.Post({.kind = EventKind::Progress, .percent = percent, .remainingSeconds = remaining.value_or(-1)});
    }

private:
    COutbox& m_outbox;
    const std::vector<PortInfo>& m_ports;
    int m_current = -1;
    int m_lastPercent = -1;
};

}  // namespace

int RunDeviceProcess(int controlFd, int eventFd, int imageFd, const DeviceProcessSetting& setting)
{
    CStopRequest stop;
    COutbox outbox(eventFd);
    CListener listener(controlFd, outbox, stop);

    const std::optional<DeviceJobSpec> job = listener.WaitForJob(kJobWait);
    const pid_t frontEnd = setting.frontEnd != 0 ? setting.frontEnd : getppid();
    if (!job || job->parentPid != static_cast<int64_t>(frontEnd)) {
        close(imageFd);
        return job ? 4 : 2;
    }
    // Every line, the count, the data bytes and the hash are checked
    // before any port is opened.
    CImageLines lines;
    std::string why;
    const bool good = MapFirmwareImage(imageFd, lines, why);
    close(imageFd);
    if (!good)
        return 3;
    outbox.Post({.kind = EventKind::Ready});

    CReporter reporter(outbox, job->ports);
    std::optional<CDeviceLink> own;
    CDeviceLink& link = setting.transport ? own.emplace(*setting.transport) : own.emplace();
    // The front end opens each port for itself before this process first
    // does, so that it can give the port back as it was if this process is
    // lost.
    link.m_openGate = [&](const std::string& path) {
        const int index = reporter.IndexOf(path);
        if (index < 0)
            return false;
        outbox.Post({.kind = EventKind::PortWanted, .port = index});
        return listener.WaitForPort(index);
    };

    const auto finish = [&](Outcome outcome, int elapsedSeconds = 0) {
        outbox.Post({.kind = EventKind::Result,
                     .port = reporter.Current(),
                     .outcome = static_cast<int>(outcome),
                     .elapsedSeconds = elapsedSeconds});
        listener.WaitForOutbox(kResultWait);
        return 0;
    };

    CSearchOperation search(link, job->ports, lines.Index());
    const SearchResult found = search.Run(reporter, stop);
    if (found == SearchResult::Stopped || found == SearchResult::NoDevice)
        return finish(OutcomeOf(found));

    outbox.Post({.kind = EventKind::Found,
                 .port = reporter.Current(),
                 .compatible = found == SearchResult::Compatible,
                 .haveVersion = search.HaveVersion(),
                 .version1 = link.m_strDeviceVersion1,
                 .version2 = link.m_strDeviceVersion2,
                 .deviceIndex = link.m_strDeviceIndex});
    if (found == SearchResult::Incompatible)
        return finish(Outcome::Incompatible);

    // Nothing to write, or the answer was no, or the front end went away at
    // the question: the device is told what the outcome's row says (it
    // restarts as it is, as after the window's "No").
    if (job->dryRun) {
        SendClosing(link, Outcome::Compatible);
        return finish(Outcome::Compatible);
    }
    if ((job->ask && !listener.WaitForAnswer()) || stop.Requested()) {
        const Outcome outcome = stop.Requested() ? Outcome::QuestionStopped : Outcome::Declined;
        SendClosing(link, outcome);
        return finish(outcome);
    }

    outbox.Post({.kind = EventKind::TransferStarted});
    CTransferOperation transfer(link, lines, static_cast<uint32_t>(lines.TotalBytes()));
    const TransferResult result = transfer.Run(reporter, stop);
    return finish(OutcomeOf(result), result == TransferResult::Done ? transfer.ElapsedSeconds() : 0);
}
