#include "app/flash/DeviceJob.h"

#include "app/workflow/EndSignalSet.h"
#include "app/workflow/Outcome.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// One message to the parent; a parent that is gone is not an error here.
void SendMessage(int fd, const Json& message)
{
    const std::string line = message.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

// Listens to the parent and to the end signals on a thread of its own.
class CControl {
public:
    CControl(int controlFd, CStopRequest& stop) : m_controlFd(controlFd), m_stop(stop)
    {
        m_signalFd = OpenEndSignalFd();
        if (pipe2(m_wake, O_CLOEXEC) != 0)
            m_wake[0] = m_wake[1] = -1;
        m_thread = std::thread([this] { Listen(); });
    }
    ~CControl()
    {
        if (m_wake[1] >= 0) {
            const char c = 0;
            while (write(m_wake[1], &c, 1) < 0 && errno == EINTR) {
            }
        }
        m_thread.join();
        for (int fd : {m_signalFd, m_wake[0], m_wake[1]}) {
            if (fd >= 0)
                close(fd);
        }
    }
    CControl(const CControl&) = delete;
    CControl& operator=(const CControl&) = delete;

    // Waits for the parent's answer: true for "yes"; false for "no" or a
    // stop.
    bool WaitForAnswer()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_answer >= 0 || m_stop.Requested(); });
        return m_answer == 1 && !m_stop.Requested();
    }

private:
    void Stop()
    {
        m_stop.Request();
        std::lock_guard lock(m_mutex);
        m_changed.notify_all();
    }

    void Answer(int answer)
    {
        std::lock_guard lock(m_mutex);
        m_answer = answer;
        m_changed.notify_all();
    }

    void Take(const std::string& word)
    {
        if (word == "yes")
            Answer(1);
        else if (word == "no")
            Answer(0);
        else if (word == "stop")
            Stop();
    }

    // Ends when woken by the destructor.
    void Listen()
    {
        pollfd fds[3] = {{m_signalFd, POLLIN, 0}, {m_controlFd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        std::string pending;
        for (;;) {
            if (poll(fds, 3, -1) < 0) {
                if (errno == EINTR)
                    continue;
                Stop();
                return;
            }
            if (fds[0].revents != 0) {
                signalfd_siginfo info{};
                while (read(m_signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                    Stop();
            }
            if (fds[1].revents != 0) {
                char buffer[256];
                const ssize_t n = read(m_controlFd, buffer, sizeof buffer);
                if (n > 0) {
                    pending.append(buffer, static_cast<size_t>(n));
                    size_t end;
                    while ((end = pending.find('\n')) != std::string::npos) {
                        Take(pending.substr(0, end));
                        pending.erase(0, end + 1);
                    }
                    if (pending.size() > 64)
                        pending.clear();
                } else if (n == 0 || errno != EINTR) {
                    // The parent is gone: nobody to answer or report to.
                    Stop();
                    fds[1].fd = -1;
                }
            }
            if (fds[2].revents != 0)
                return;
        }
    }

    int m_controlFd;
    int m_signalFd = -1;
    int m_wake[2] = {-1, -1};
    CStopRequest& m_stop;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_answer = -1;
    std::thread m_thread;
};

// The operations' reports, as messages.
class CJobObserver : public COperationObserver {
public:
    CJobObserver(int fd, uint32_t totalBytes) : m_fd(fd), m_total(totalBytes) {}

    void Send(const Json& message)
    {
        SendMessage(m_fd, message);
        m_lastSent = Clock::now();
    }

    void OnPortTried(const PortInfo& port) override { Send({{"m", "search"}, {"port", port.name}}); }
    void OnAttemptMade() override { KeepAlive(); }

    void OnProgress(int percent) override
    {
        if (percent == m_lastPercent) {
            KeepAlive();
            return;
        }
        // From 10 % on the remaining time comes right after, with the same
        // percentage; both go in one message.
        if (percent > 9 && m_total != 0)
            return;
        m_lastPercent = percent;
        Send({{"m", "progress"}, {"percent", percent}});
    }

    void OnRemaining(int percent, int seconds, const std::string& text) override
    {
        m_lastPercent = percent;
        Send({{"m", "progress"}, {"percent", percent}, {"remaining_s", seconds}, {"remaining", text}});
    }

private:
    void KeepAlive()
    {
        if (Clock::now() - m_lastSent >= std::chrono::milliseconds(ALIVE_INTERVAL_MS))
            Send({{"m", "alive"}});
    }

    int m_fd;
    uint32_t m_total;
    int m_lastPercent = -1;
    Clock::time_point m_lastSent = Clock::now();
};

}  // namespace

int RunDeviceJob(const DeviceJob& job, int eventFd, int controlFd)
{
    const Clock::time_point start = Clock::now();
    const CLoadedFirmware& firmware = *job.firmware;
    const uint32_t total = static_cast<uint32_t>(firmware.totalBytes);
    CStopRequest stop;
    CControl control(controlFd, stop);
    CJobObserver observer(eventFd, total);
    CDeviceLink link;

    std::string port;
    const auto finish = [&](Outcome outcome, const std::string& elapsed = {}) {
        observer.Send({{"m", "result"},
                       {"port", port},
                       {"outcome", static_cast<int>(outcome)},
                       {"seconds", std::chrono::duration<double>(Clock::now() - start).count()},
                       {"elapsed", elapsed}});
        return 0;
    };

    CSearchOperation search(link, job.ports, firmware.index);
    const SearchResult found = search.Run(observer, stop);
    // After a search over several ports that found nothing no port is to
    // blame; otherwise the link names the device's port.
    if (found != SearchResult::NoDevice || job.ports.size() == 1)
        port = link.m_strPort;
    if (found == SearchResult::Stopped || found == SearchResult::NoDevice)
        return finish(OutcomeOf(found));

    observer.Send({{"m", "found"},
                   {"port", port},
                   {"compatible", found == SearchResult::Compatible},
                   {"have_version", search.HaveVersion()},
                   {"version1", link.m_strDeviceVersion1},
                   {"version2", link.m_strDeviceVersion2}});
    if (found == SearchResult::Incompatible)
        return finish(Outcome::Incompatible);

    // Nothing to write, or the answer was no: the device restarts as it
    // is, as after the window's "No".
    if (job.dryRun) {
        link.SendRestart();
        return finish(Outcome::Compatible);
    }
    if ((job.ask && !control.WaitForAnswer()) || stop.Requested()) {
        link.SendRestart();
        return finish(stop.Requested() ? Outcome::SearchStopped : Outcome::Declined);
    }

    observer.Send({{"m", "start"}});
    CTransferOperation transfer(link, firmware.lines, total);
    const TransferResult result = transfer.Run(observer, stop);
    return finish(OutcomeOf(result), result == TransferResult::Done ? transfer.FormatElapsed() : std::string());
}
