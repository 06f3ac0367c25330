// soak [UPDATES] [SEED]
//
// Updates in a row through the real window, offscreen, against the
// simulated device, each with a fault drawn at random from the fault
// matrix (a random firmware line or a command); every outcome is checked
// against what the fault must give, and every failed update is followed by
// a clean one whose image must equal the file. Prints the seed, and the
// resident memory and open file descriptors after update 10 and after the
// last; fails when an outcome is wrong or they grew by more than a small
// margin.

#include "FaultMatrix.h"

#include "DeviceRecords.h"
#include "FirmwareMaker.h"
#include "app/workflow/StringTable.h"

#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

#include <unistd.h>

namespace {

long ResidentKiB()
{
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long OpenDescriptors()
{
    long count = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++count;
    return count;
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    SetLanguage(Language::English);

    const int updates = argc > 1 ? std::atoi(argv[1]) : 100;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10))
                                   : static_cast<unsigned>(std::random_device{}());
    std::printf("soak: %d updates, seed %u (soak %d %u repeats this run)\n", updates, seed, updates, seed);
    std::fflush(stdout);

    CTempDir dir;
    const std::string file = WriteFirmware(dir.Path(), "soak.CVF", SmallFirmware());
    std::mt19937 random(seed);
    const char* const commands[] = {"ASP", "PSD", "EAE", "RST", "DPZ"};
    std::uniform_int_distribution<size_t> pickRow(0, std::size(faults::kMatrix) - 1);
    std::uniform_int_distribution<int> pickPlace(1, faults::kFileEnd + static_cast<int>(std::size(commands)));

    long rss10 = 0, fds10 = 0;
    int failures = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= updates; ++i) {
        const faults::MatrixRow& row = faults::kMatrix[pickRow(random)];
        const int place = pickPlace(random);
        const bool atLine = place <= faults::kFileEnd;
        const std::string where = atLine ? std::to_string(place) : commands[place - faults::kFileEnd - 1];
        const FaultRun run = atLine ? faults::AtLine(row, place) : faults::AtCommand(row, where);

        std::string report;
        const bool held = RunFaultCase(run, file, report);
        std::printf("%3d  %-12s at %-4s  %s\n", i, faults::Name(row).c_str(), where.c_str(), held ? "ok" : "FAILED");
        if (!held) {
            ++failures;
            std::printf("%s", report.c_str());
        }
        std::fflush(stdout);
        if (i == 10) {
            rss10 = ResidentKiB();
            fds10 = OpenDescriptors();
        }
    }
    const long rss = ResidentKiB();
    const long fds = OpenDescriptors();
    const double minutes =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / 60.0;

    std::printf("soak: %d of %d updates as expected, %.1f min\n", updates - failures, updates, minutes);
    std::printf("  after update 10:   resident %ld KiB, %ld open descriptors\n", rss10, fds10);
    std::printf("  after update %d:  resident %ld KiB, %ld open descriptors\n", updates, rss, fds);
    // Qt's caches settle in the first updates; after that nothing may pile up.
    const bool steady = updates <= 10 || (fds == fds10 && rss <= rss10 + 2048);
    if (!steady)
        std::printf("soak: memory or descriptors grew\n");
    std::printf("%d passed, %d failed\n", updates - failures, failures);
    return failures == 0 && steady ? 0 : 1;
}
