#include "link/Stopwatch.h"

#include <algorithm>
#include <chrono>
#include <climits>

int64_t g_counterFrequency = 0;
int64_t g_stopwatchOverhead = 0;

namespace {

std::once_flag g_calibrationOnce;

inline int64_t ReadCounter()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

CStopwatch::CStopwatch(bool startNow)
{
    // The first stopwatch of the process measures what a start/stop pair
    // costs; constructors on other threads wait until that is done.
    std::call_once(g_calibrationOnce, [] {
        int64_t frequency = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::seconds(1)).count();
        g_counterFrequency = frequency != 0 ? frequency : 1;
        g_stopwatchOverhead = 0;
        // The cheapest of a few pairs of counter readings, as Start and
        // Stop take them (a negative count: elapsed time is kept below
        // zero). Measured without the object, whose derived part is not
        // built yet; one preempted pair must not shorten every later
        // measurement.
        int64_t overhead = INT64_MIN;
        for (int i = 0; i < 5; ++i) {
            const int64_t start = ReadCounter();
            overhead = std::max(overhead, start - ReadCounter());
        }
        g_stopwatchOverhead = overhead;
    });
    m_value = 0;
    if (startNow)
        Start(false);
}

void CStopwatch::Start(bool restart)
{
    const int64_t counter = ReadCounter();
    Lock();
    if (!restart && m_value < 0)
        m_value += counter;  // resume: what was measured so far still counts
    else
        m_value = counter;
    Unlock();
}

void CStopwatch::Stop()
{
    Lock();
    if (m_value > 0) {
        m_value -= ReadCounter();
        // Take off the calibrated cost of a start/stop pair, never going
        // below zero elapsed.
        if (m_value < g_stopwatchOverhead)
            m_value -= g_stopwatchOverhead;
        else
            m_value = 0;
    }
    Unlock();
}

void CStopwatch::CopyFrom(CStopwatch& other)
{
    if (&other == this)
        return;
    other.Lock();
    Lock();
    m_value = other.m_value;
    Unlock();
    other.Unlock();
}

int64_t CStopwatch::PeekTicks()
{
    CStopwatch snapshot;
    snapshot.CopyFrom(*this);
    snapshot.Stop();
    return snapshot.GetElapsedTicks();
}

double CStopwatch::PeekMilliseconds()
{
    return static_cast<double>(PeekTicks()) * 1000.0 / static_cast<double>(g_counterFrequency);
}

// ---------------------------------------------------------------------------

CLockedStopwatch::CLockedStopwatch() : CStopwatch(false) {}

void CLockedStopwatch::Lock()
{
    const auto self = std::this_thread::get_id();
    if (m_owner.load(std::memory_order_relaxed) == self) {
        ++m_depth;  // already ours
        return;
    }
    if (m_mutex.try_lock_for(m_waitLimit)) {
        m_owner.store(self, std::memory_order_relaxed);
        m_depth = 1;
    }
    // Otherwise go on unguarded; the matching Unlock then releases nothing.
}

void CLockedStopwatch::Unlock()
{
    if (m_owner.load(std::memory_order_relaxed) != std::this_thread::get_id())
        return;  // this thread did not get the mutex
    if (--m_depth == 0) {
        m_owner.store(std::thread::id(), std::memory_order_relaxed);
        m_mutex.unlock();
    }
}
