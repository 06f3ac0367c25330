#pragma once
// Interval timing on the steady clock, in nanosecond ticks. The cost of a
// start/stop pair is measured once per process and taken off every
// measurement.

#include <cstdint>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

extern int64_t g_counterFrequency;   // ticks a second: 1e9
extern int64_t g_stopwatchOverhead;  // 0 or negative: minus the cost of a start/stop pair

class CStopwatch {
public:
    explicit CStopwatch(bool startNow = false);
    virtual ~CStopwatch() = default;

    void Start(bool restart = false);
    void Stop();
    int64_t GetElapsedTicks() const { return -m_value; }
    void CopyFrom(CStopwatch& other);
    // Elapsed ticks so far, leaving the stopwatch as it is.
    int64_t PeekTicks();
    // PeekTicks in milliseconds (ticks * 1000.0 / g_counterFrequency).
    double PeekMilliseconds();

    virtual void Lock() {}
    virtual void Unlock() {}

protected:
    int64_t m_value = 0;  // > 0 running (start reading), <= 0 stopped (minus elapsed)
};

// A stopwatch whose operations hold a mutex, waiting at most 10 s for it;
// after that the operation goes ahead unguarded.
class CLockedStopwatch : public CStopwatch {
public:
    CLockedStopwatch();
    void Lock() override;
    void Unlock() override;
    // How long Lock waits for the mutex (10 s unless changed).
    void SetWaitLimit(std::chrono::milliseconds limit) { m_waitLimit = limit; }

private:
    std::timed_mutex m_mutex;
    std::chrono::milliseconds m_waitLimit{10000};
    // The thread holding m_mutex and how often it has locked it; a thread
    // whose wait ran out does not appear here and so releases nothing.
    std::atomic<std::thread::id> m_owner{};
    int m_depth = 0;
};
