// Runs cvf-flash -a -y against 1, 8 and then 64 simulated devices paced like
// 57600-baud lines, each on a pseudo-terminal of its own, and prints
//   - the wall time of each run and their ratio (goal: 8 devices within
//     1.10 x the time of one);
//   - the processor time of cvf-flash and its device processes, per
//     device, as a share of one core (goal: at most 2 %);
//   - 64 devices against one (goal 1.05) and the largest proportional set
//     size of cvf-flash and its device processes together then (goal
//     40 MiB: the device processes share one sealed copy of the lines).
// Usage: bench_flash [KIB] [LINE-TIME-MS]   (firmware size, 64 KiB; the
// device's own time per line, 0)

#include "ChildCommand.h"
#include "DeviceRecords.h"
#include "FirmwareMaker.h"
#include "ProcessTimes.h"
#include "SimDevice.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>


namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
    double wall = 0;
    double cpu = 0;
    int done = 0;
    int status = -1;
    long pssKiB = 0;  // the largest summed PSS of cvf-flash and its device processes
};

// cvf-flash and the device processes it started, summed.
long SummedPssKiB(pid_t flash)
{
    const std::string self = std::to_string(flash);
    long total = PssKiB(self);
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + self + "/task", error)) {
        std::ifstream children(task.path() / "children");
        std::string child;
        while (children >> child)
            total += PssKiB(child);
    }
    return total;
}

// One run of cvf-flash to its end, its output counted.
Figures Flash(const std::string& runtimeDir, const std::string& sysfs, const std::string& file)
{
    CChildCommand command({CVF_FLASH, "--sysfs", sysfs, "-a", "-y", "--json", file});
    command.SetEnv("XDG_RUNTIME_DIR", runtimeDir);
    char* const* argp = command.Argv();
    char* const* envp = command.Envp();

    int out[2];
    if (pipe(out) != 0)
        return {};
    Figures figures;
    const double cpu0 = CpuSeconds(RUSAGE_CHILDREN);
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execve(argp[0], argp, envp);
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[4096];
    for (;;) {
        pollfd fd{out[0], POLLIN, 0};
        if (poll(&fd, 1, 250) == 0) {
            figures.pssKiB = std::max(figures.pssKiB, SummedPssKiB(pid));
            continue;
        }
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    figures.wall = std::chrono::duration<double>(Clock::now() - t0).count();
    figures.cpu = CpuSeconds(RUSAGE_CHILDREN) - cpu0;
    figures.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    for (size_t at = 0; (at = text.find("\"outcome\":\"done\"", at)) != std::string::npos; ++at)
        ++figures.done;
    return figures;
}

}  // namespace

int main(int argc, char** argv)
{
    const int kib = argc > 1 ? std::atoi(argv[1]) : 64;
    const int lineTimeMs = argc > 2 ? std::atoi(argv[2]) : 0;
    if (kib < 8 || kib % 8 != 0) {
        std::fprintf(stderr, "bench_flash: the size is a multiple of 8 KiB\n");
        return 2;
    }

    CTempDir dir;
    const std::string runtime = dir.File("run");
    const std::string ports = runtime + "/cvf-update/ports";
    const std::string sysfs = dir.File("sys");
    for (const std::string& d : {runtime, runtime + "/cvf-update", ports, sysfs})
        mkdir(d.c_str(), 0700);
    MakerOptions options;
    options.blocks = kib / 8;
    options.blockBytes = 8192;
    const std::string file = dir.WriteFirmware("bench.CVF", options);

    std::printf("cvf-flash -a -y: %d KiB firmware, devices paced like 57600 baud, device line time %d ms\n", kib,
                lineTimeMs);
    std::printf("  devices   wall time   done   processor time   per device (share of one core)   PSS in all\n");
    double single = 0;
    bool good = true;
    for (const int count : {1, 8, 64}) {
        std::vector<std::unique_ptr<CSimDevice>> devices;
        for (int i = 1; i <= count; ++i) {
            devices.push_back(std::make_unique<CSimDevice>(
                std::vector<std::string>{"--port-dir", ports, "--line-time", std::to_string(lineTimeMs)}, true,
                "COM" + std::to_string(i)));
            if (!devices.back()->IsReady()) {
                std::fprintf(stderr, "bench_flash: simulated device %d did not start\n", i);
                return 1;
            }
        }
        const Figures f = Flash(runtime, sysfs, file);
        const double share = 100.0 * f.cpu / count / f.wall;
        std::printf("  %7d   %8.3f s   %4d   %12.3f s   %6.2f %%   %9.1f MiB\n", count, f.wall, f.done, f.cpu, share,
                    static_cast<double>(f.pssKiB) / 1024.0);
        good = good && f.status == 0 && f.done == count && share <= 2.0;
        if (count == 1) {
            single = f.wall;
        } else {
            const double goal = count == 8 ? 1.10 : 1.05;
            std::printf("  %d devices / 1 device   %.4f   (goal <= %.2f)\n", count, f.wall / single, goal);
            good = good && f.wall / single <= goal;
        }
        if (count == 64) {
            std::printf("  PSS of cvf-flash and its device processes at 64 devices: %.1f MiB   (goal <= 40 MiB)\n",
                        static_cast<double>(f.pssKiB) / 1024.0);
            good = good && f.pssKiB <= 40 * 1024;
        }
    }
    std::printf("  goals %s\n", good ? "met" : "NOT MET");
    return good ? 0 : 1;
}
