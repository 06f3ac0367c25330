// Loads a large firmware file as the tool does (every line checked, block
// sums, byte count, version record, progress) and prints the time per pass
// and the memory the process needed.

#include "FirmwareMaker.h"
#include "firmware/FirmwareFile.h"
#include "firmware/FirmwareLoader.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sys/resource.h>
#include <unistd.h>

int main()
{
    MakerOptions options;
    options.blocks = 64;  // 512 KiB of data, about 1.1 MiB of file
    const MakerResult made = MakeFirmwareFile(options);
    char path[] = "/tmp/cvf-bench-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0)
        return 1;
    ::close(fd);
    std::ofstream(path, std::ios::binary) << made.bytes;

    CFirmwareFile file;
    if (!file.Open(path))
        return 1;
    constexpr int kPasses = 20;
    long lines = 0;
    long reports = 0;
    bool good = true;
    const auto start = std::chrono::steady_clock::now();
    for (int pass = 0; pass < kPasses; ++pass) {
        const LoadResult result = LoadFirmwareData(file, [&reports](int) { ++reports; });
        lines += static_cast<long>(result.lines);
        good = good && result.Good() && result.totalBytes == made.dataBytes && result.versionText.size() == 64;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::unlink(path);

    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("file: %zu bytes, %d data lines\n", made.bytes.size(), made.dataLines);
    std::printf("load: %.2f ms a pass, %.0f lines/s, %.1f MiB/s, %ld progress reports a pass\n",
                seconds * 1000 / kPasses,
                static_cast<double>(lines) / seconds,
                static_cast<double>(made.bytes.size()) * kPasses / seconds / (1024 * 1024), reports / kPasses);
    std::printf("peak resident memory: %ld KiB (the file's own bytes held once by the maker)\n", usage.ru_maxrss);
    return good && lines == static_cast<long>(made.dataLines) * kPasses ? 0 : 1;
}
