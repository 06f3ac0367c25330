// Prints figures for the device exchanges against the simulated device:
//   - processor time spent while a silent device is awaited for 1000 ms,
//   - round-trip times of TransactOnOpenPort and Transact (no pacing),
//   - lines a second at the pace of a real 57600-baud line with the pause
//     before each line.

#include "link/DeviceLink.h"
#include "link/Frame.h"

#include "SimDevice.h"

#include "ProcessTimes.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>


namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// A block-start line with 32 data bytes, as a firmware file holds them.
std::string FirmwareLine()
{
    std::string data;
    unsigned sum = 0;
    for (unsigned i = 0; i < 32; ++i) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", (i * 7) & 0xFF);
        data += hex;
        sum += (i * 7) & 0xFF;
    }
    char body[160];
    std::snprintf(body, sizeof body, "FWBS|00|20|%04X|1000|%s|", sum & 0xFFFF, data.c_str());
    return MakeRequest(body);
}

void PrintTimes(const char* what, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    double total = 0;
    for (double v : ms)
        total += v;
    std::printf("%-34s n=%zu  mean %.3f ms  median %.3f ms  p99 %.3f ms  max %.3f ms\n", what,
                ms.size(), total / static_cast<double>(ms.size()), ms[ms.size() / 2],
                ms[ms.size() * 99 / 100], ms.back());
}

bool Link(CSimDevice& sim, CDeviceLink& link)
{
    if (!sim.IsReady()) {
        std::fprintf(stderr, "cvf-devsim did not start\n");
        return false;
    }
    link.m_strPort = "COM5";
    link.m_strPortPath = sim.DevicePath();
    return true;
}

}  // namespace

int main()
{
    const std::string asp = MakeRequest(REQUEST_STATUS);
    const std::string line = FirmwareLine();

    {
        CSimDevice sim({"--no-update-mode"});
        CDeviceLink link;
        if (!Link(sim, link))
            return 1;
        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        const uint8_t result = link.Transact(asp, STATUS_TIMEOUT_MS);
        const double wall = Ms(Clock::now() - t0);
        const double cpu = (CpuSeconds() - cpu0) * 1000.0;
        std::printf("silent ASP exchange (1000 ms)      result %u  wall %.1f ms  cpu %.2f ms  = %.2f %% of one core\n",
                    result, wall, cpu, 100.0 * cpu / wall);
    }

    {
        CSimDevice sim;
        CDeviceLink link;
        if (!Link(sim, link))
            return 1;
        std::vector<double> onOpen, full;
        link.OpenDevicePort();
        for (int i = 0; i < 1000; ++i) {
            const auto t0 = Clock::now();
            link.TransactOnOpenPort(line, LINE_TIMEOUT_MS);
            onOpen.push_back(Ms(Clock::now() - t0));
        }
        link.CloseDevicePort();
        for (int i = 0; i < 300; ++i) {
            const auto t0 = Clock::now();
            link.Transact(asp, STATUS_TIMEOUT_MS);
            full.push_back(Ms(Clock::now() - t0));
        }
        PrintTimes("TransactOnOpenPort, no pacing", onOpen);
        PrintTimes("Transact (open+close), no pacing", full);
        std::fflush(stdout);
    }

    {
        CSimDevice sim({}, true);
        CDeviceLink link;
        if (!Link(sim, link))
            return 1;
        const int lines = 200;
        link.OpenDevicePort();
        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        for (int i = 0; i < lines; ++i) {
            link.PauseBeforeLine();
            link.TransactOnOpenPort(line, LINE_TIMEOUT_MS);
        }
        const double wall = Ms(Clock::now() - t0);
        const double cpu = (CpuSeconds() - cpu0) * 1000.0;
        link.CloseDevicePort();
        const double perLine = wall / lines;
        std::printf("paced lines of %zu bytes (32 data)  %.2f ms a line  %.0f data bytes/s  "
                    "64 KiB in %.1f s  cpu %.1f %% of one core\n",
                    line.size(), perLine, 32.0 * 1000.0 / perLine, 65536.0 / 32.0 * perLine / 1000.0,
                    100.0 * cpu / wall);
    }
    return 0;
}
