// Stopwatches. Elapsed times are checked against the steady clock read
// around the measured stretch, so the bounds hold however loaded the
// machine is.

#include "link/Stopwatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int64_t TicksBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(b - a).count();
}

constexpr int64_t kMs = 1000000;  // ticks

TEST(Stopwatch, CalibratedOnSteadyClockNanoseconds)
{
    CStopwatch sw;
    EXPECT_EQ(g_counterFrequency, 1000000000);
    EXPECT_LE(g_stopwatchOverhead, 0);
    EXPECT_EQ(sw.GetElapsedTicks(), 0);
    EXPECT_EQ(sw.PeekTicks(), 0);

    const auto t0 = Clock::now();
    CStopwatch started(true);
    started.Stop();
    const auto t1 = Clock::now();
    EXPECT_GE(started.GetElapsedTicks(), 0);  // the correction never goes negative
    EXPECT_LE(started.GetElapsedTicks(), TicksBetween(t0, t1));
}

TEST(Stopwatch, ResumeAddsUpRestartBeginsAgain)
{
    CStopwatch resumed;
    const auto t0 = Clock::now();
    resumed.Start();
    std::this_thread::sleep_for(milliseconds(30));
    resumed.Stop();
    std::this_thread::sleep_for(milliseconds(30));  // paused: not counted
    resumed.Start(false);
    std::this_thread::sleep_for(milliseconds(30));
    resumed.Stop();
    const auto t2 = Clock::now();
    EXPECT_GE(resumed.GetElapsedTicks(), 59 * kMs);
    EXPECT_LE(resumed.GetElapsedTicks(), TicksBetween(t0, t2) - 30 * kMs);

    CStopwatch restarted;
    restarted.Start();
    std::this_thread::sleep_for(milliseconds(30));
    restarted.Stop();
    const auto t3 = Clock::now();
    restarted.Start(true);
    std::this_thread::sleep_for(milliseconds(30));
    restarted.Stop();
    const auto t4 = Clock::now();
    EXPECT_GE(restarted.GetElapsedTicks(), 29 * kMs);
    EXPECT_LE(restarted.GetElapsedTicks(), TicksBetween(t3, t4));

    // Start on a running stopwatch starts it over, whatever `restart` says.
    CStopwatch running(true);
    std::this_thread::sleep_for(milliseconds(30));
    const auto t5 = Clock::now();
    running.Start(false);
    running.Stop();
    EXPECT_LE(running.GetElapsedTicks(), TicksBetween(t5, Clock::now()));
}

TEST(Stopwatch, StopOnStoppedAndPeekChangeNothing)
{
    CStopwatch sw(true);
    std::this_thread::sleep_for(milliseconds(5));
    sw.Stop();
    const int64_t stopped = sw.GetElapsedTicks();
    EXPECT_GE(stopped, 4 * kMs);
    std::this_thread::sleep_for(milliseconds(5));
    sw.Stop();
    EXPECT_EQ(sw.GetElapsedTicks(), stopped);
    EXPECT_EQ(sw.PeekTicks(), stopped);

    sw.Start();  // resumes
    std::this_thread::sleep_for(milliseconds(5));
    const int64_t p1 = sw.PeekTicks();
    std::this_thread::sleep_for(milliseconds(5));
    const double p2ms = sw.PeekMilliseconds();
    sw.Stop();
    EXPECT_GE(p1, stopped + 4 * kMs);
    EXPECT_GE(p2ms, static_cast<double>(p1) / 1e6 + 4.0);  // still running between the peeks
    EXPECT_GE(static_cast<double>(sw.GetElapsedTicks()) / 1e6, p2ms);
}

TEST(Stopwatch, CopyFromTakesTheState)
{
    CStopwatch running(true);
    std::this_thread::sleep_for(milliseconds(5));
    CLockedStopwatch copy;
    copy.CopyFrom(running);
    EXPECT_GE(copy.PeekTicks(), 4 * kMs);  // running as well
    copy.CopyFrom(copy);                   // itself: nothing
    running.Stop();
    copy.Stop();
    EXPECT_GE(copy.GetElapsedTicks(), running.GetElapsedTicks() - kMs);
}

// In a process of its own, so the calibration really is the first one.
TEST(StopwatchDeathTest, CalibrationFromManyThreadsAtOnce)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (g_counterFrequency != 0)
                std::_Exit(3);  // already calibrated: not a fresh process
            std::atomic<bool> go{false};
            std::atomic<int> bad{0};
            std::vector<std::thread> threads;
            for (int i = 0; i < 8; ++i) {
                threads.emplace_back([&] {
                    while (!go.load())
                        std::this_thread::yield();
                    CStopwatch sw(true);
                    // Every constructor returns only after calibration.
                    if (g_counterFrequency != 1000000000 || g_stopwatchOverhead > 0)
                        ++bad;
                    sw.Stop();
                    if (sw.GetElapsedTicks() < 0)
                        ++bad;
                });
            }
            go = true;
            for (auto& t : threads)
                t.join();
            std::_Exit(bad.load() == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(LockedStopwatch, SharedBetweenThreads)
{
    CLockedStopwatch shared;
    std::atomic<bool> stop{false};
    std::atomic<int> negative{0};
    std::thread other([&] {
        CStopwatch local;
        while (!stop.load()) {
            shared.Start(true);
            shared.Stop();
            local.CopyFrom(shared);
            if (local.PeekTicks() < 0)
                ++negative;
        }
    });
    for (int i = 0; i < 20000; ++i) {
        if (shared.PeekTicks() < 0)
            ++negative;
        if (i % 100 == 0)
            shared.Start(false);
    }
    stop = true;
    other.join();
    EXPECT_EQ(negative.load(), 0);
    shared.Stop();
    EXPECT_GE(shared.GetElapsedTicks(), 0);
}

TEST(LockedStopwatch, WaitThatRunsOutReleasesNothing)
{
    CLockedStopwatch sw;
    sw.SetWaitLimit(milliseconds(20));
    sw.Lock();  // held by this thread

    // Another thread gives up waiting, measures unguarded, and must not
    // release the mutex it never had.
    std::thread unguarded([&] {
        sw.Start();
        sw.Stop();
    });
    unguarded.join();

    double waitedMs = 0;
    std::thread next([&] {
        const auto t = Clock::now();
        sw.Start();  // still held: waits out the limit again
        waitedMs = std::chrono::duration<double, std::milli>(Clock::now() - t).count();
    });
    next.join();
    EXPECT_GE(waitedMs, 15.0) << "the mutex was released by a thread that did not hold it";

    // Nested use by the holder, then the release: another thread can now
    // take the mutex, and this one has to wait for it.
    sw.Lock();
    sw.Unlock();
    sw.Unlock();
    std::atomic<int> phase{0};
    std::thread holder([&] {
        sw.Lock();
        phase = 1;
        while (phase.load() != 2)
            std::this_thread::yield();
        sw.Unlock();
    });
    while (phase.load() != 1)
        std::this_thread::yield();
    const auto t = Clock::now();
    sw.Start();
    waitedMs = std::chrono::duration<double, std::milli>(Clock::now() - t).count();
    phase = 2;
    holder.join();
    EXPECT_GE(waitedMs, 15.0) << "the holder's release did not free the mutex";
}

}  // namespace
