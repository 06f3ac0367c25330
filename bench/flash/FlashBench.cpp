// Runs cvf-flash -a -y against 1 and then 8 simulated devices paced like
// 57600-baud lines, each on a pseudo-terminal of its own, and prints
//   - the wall time of each run and their ratio (goal: 8 devices within
//     1.10 x the time of one);
//   - the processor time of cvf-flash and its device processes, per
//     device, as a share of one core (goal: at most 2 %).
// Usage: bench_flash [KIB] [LINE-TIME-MS]   (firmware size, 64 KiB; the
// device's own time per line, 0)

#include "ChildCommand.h"
#include "DeviceRecords.h"
#include "FirmwareMaker.h"
#include "ProcessTimes.h"
#include "SimDevice.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
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
};

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
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
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
    std::printf("  devices   wall time   done   processor time   per device (share of one core)\n");
    double single = 0;
    bool good = true;
    for (const int count : {1, 8}) {
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
        std::printf("  %7d   %8.3f s   %4d   %12.3f s   %6.2f %%\n", count, f.wall, f.done, f.cpu, share);
        good = good && f.status == 0 && f.done == count && share <= 2.0;
        if (count == 1)
            single = f.wall;
        else
            std::printf("  8 devices / 1 device   %.4f   (goal <= 1.10)\n", f.wall / single);
        if (count == 8)
            good = good && f.wall / single <= 1.10;
    }
    std::printf("  goals %s\n", good ? "met" : "NOT MET");
    return good ? 0 : 1;
}
