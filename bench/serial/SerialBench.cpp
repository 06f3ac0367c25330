// Figures for the serial port and the stopwatch: the cost of the stopwatch
// operations, the round trip of one short frame over a pseudo-terminal, and
// the processor time a silent wait for input costs.
// Usage: bench_serial [round trips, default 2000]

#include "link/SerialPort.h"
#include "link/Stopwatch.h"

#include "ProcessTimes.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

void StopwatchFigures()
{
    constexpr int kRounds = 2000000;
    CStopwatch sw;
    std::printf("stopwatch: calibrated start/stop cost %lld ns\n",
                static_cast<long long>(-g_stopwatchOverhead));

    auto t = Clock::now();
    for (int i = 0; i < kRounds; ++i) {
        sw.Start(true);
        sw.Stop();
    }
    double ns = std::chrono::duration<double, std::nano>(Clock::now() - t).count() / kRounds;
    std::printf("stopwatch: Start+Stop          %8.1f ns\n", ns);

    sw.Start();
    int64_t sink = 0;
    t = Clock::now();
    for (int i = 0; i < kRounds; ++i)
        sink += sw.PeekTicks();
    ns = std::chrono::duration<double, std::nano>(Clock::now() - t).count() / kRounds;
    std::printf("stopwatch: PeekTicks           %8.1f ns\n", ns);

    CLockedStopwatch locked;
    t = Clock::now();
    for (int i = 0; i < kRounds; ++i) {
        locked.Start(true);
        locked.Stop();
    }
    ns = std::chrono::duration<double, std::nano>(Clock::now() - t).count() / kRounds;
    std::printf("stopwatch: locked Start+Stop   %8.1f ns\n", ns);
    if (sink == 42)
        std::printf(" ");
}

int OpenPty(std::string& path)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return -1;
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0)
        return -1;
    path = name;
    return master;
}

// The device side: answers every byte 'q' with a short reply frame.
void Echo(int master, std::atomic<bool>& stop)
{
    const std::string reply = "x|A00\x04";
    while (!stop.load()) {
        pollfd pfd{master, POLLIN, 0};
        if (poll(&pfd, 1, 50) <= 0)
            continue;
        if (pfd.revents & (POLLHUP | POLLERR))
            break;
        char buf[64];
        const ssize_t n = read(master, buf, sizeof buf);
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == 'q' && write(master, reply.data(), reply.size()) < 0)
                return;
        }
    }
}

void PortFigures(int rounds)
{
    std::string path;
    const int master = OpenPty(path);
    if (master < 0) {
        std::printf("serial: no pseudo-terminal\n");
        return;
    }
    // Held open so the device side never sees a hang-up between opens.
    const int slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);

    constexpr int kOpens = 200;
    auto t = Clock::now();
    for (int i = 0; i < kOpens; ++i) {
        CSerialPort port;
        port.Open(path, 57600, ParityNone, 8, StopBitsOne, FlowNone);
    }
    std::printf("serial: Open+Close              %8.1f us\n",
                std::chrono::duration<double, std::micro>(Clock::now() - t).count() / kOpens);
    t = Clock::now();
    for (int i = 0; i < kOpens; ++i)
        (void)CSerialPort::ProbePort(path);
    std::printf("serial: ProbePort               %8.1f us\n",
                std::chrono::duration<double, std::micro>(Clock::now() - t).count() / kOpens);

    CSerialPort port;
    port.Open(path, 57600, ParityNone, 8, StopBitsOne, FlowNone);
    std::atomic<bool> stop{false};
    std::thread device(Echo, master, std::ref(stop));

    std::vector<double> us;
    us.reserve(static_cast<size_t>(rounds));
    char buf[256];
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        port.Write("q", 1);
        size_t got = 0;
        while (got < 6) {
            if (!port.WaitForInput(1000))
                break;
            got += port.Read(buf, sizeof buf);
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(us.begin(), us.end());
    std::printf("serial: pty round trip (%d)   median %.1f us, 99%% %.1f us, max %.1f us\n", rounds,
                us[us.size() / 2], us[us.size() * 99 / 100], us.back());

    // A silent wait must sleep, not spin.
    const double cpu0 = CpuSeconds(RUSAGE_THREAD);
    t = Clock::now();
    const bool any = port.WaitForInput(1000);
    const double wall = std::chrono::duration<double>(Clock::now() - t).count();
    const double cpu = CpuSeconds(RUSAGE_THREAD) - cpu0;
    std::printf("serial: silent WaitForInput(1000) %s after %.1f ms, processor %.3f ms (%.2f %% of a core)\n",
                any ? "woke" : "timed out", wall * 1e3, cpu * 1e3, 100.0 * cpu / wall);

    stop = true;
    device.join();
    port.Close();
    close(slave);
    close(master);
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    StopwatchFigures();
    PortFigures(rounds);
    return 0;
}
