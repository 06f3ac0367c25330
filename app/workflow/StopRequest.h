#pragma once
// A request to end a running operation early, made from any thread and
// honoured by the operation at its next step. Waits on it end as soon as
// it is made, and its descriptor (WakeFd) becomes readable then, for a
// poll() that waits on other things too.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include <sys/eventfd.h>
#include <unistd.h>

class CStopRequest {
public:
    CStopRequest() : m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~CStopRequest()
    {
        if (m_wakeFd >= 0)
            close(m_wakeFd);
    }
    CStopRequest(const CStopRequest&) = delete;
    CStopRequest& operator=(const CStopRequest&) = delete;

    void Request()
    {
        {
            std::lock_guard lock(m_mutex);
            m_flag.store(true);
        }
        m_changed.notify_all();
        const uint64_t one = 1;
        if (m_wakeFd >= 0)
            (void)!write(m_wakeFd, &one, sizeof one);
    }
    // Forgets an earlier request, before a new operation starts.
    void Reset()
    {
        m_flag.store(false);
        uint64_t count = 0;
        if (m_wakeFd >= 0)
            (void)!read(m_wakeFd, &count, sizeof count);
    }
    bool Requested() const { return m_flag.load(); }
    const std::atomic<bool>& Flag() const { return m_flag; }
    // Readable once a stop is requested (until Reset); -1 when the system
    // gave none.
    int WakeFd() const { return m_wakeFd; }

    // Sleeps for the given time or until a stop is requested; true when it
    // was requested.
    bool WaitFor(std::chrono::milliseconds time) const
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, time, [this] { return m_flag.load(); });
    }

private:
    std::atomic<bool> m_flag{false};
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    int m_wakeFd = -1;
};
