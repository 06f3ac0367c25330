#pragma once
// A request to end a running operation early, made from any thread and
// honoured by the operation at its next step. Waits on it end as soon as
// it is made.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

class CStopRequest {
public:
    void Request()
    {
        {
            std::lock_guard lock(m_mutex);
            m_flag.store(true);
        }
        m_changed.notify_all();
    }
    // Forgets an earlier request, before a new operation starts.
    void Reset() { m_flag.store(false); }
    bool Requested() const { return m_flag.load(); }
    const std::atomic<bool>& Flag() const { return m_flag; }

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
};
