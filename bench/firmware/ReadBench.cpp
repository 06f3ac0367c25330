// Reads a large firmware file line by line, checking every frame, and
// prints the time per pass and the memory the process needed.

#include "FirmwareMaker.h"
#include "firmware/FirmwareFile.h"
#include "link/Frame.h"

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
    const auto start = std::chrono::steady_clock::now();
    for (int pass = 0; pass < kPasses; ++pass) {
        file.GetDataSize();
        file.SeekToData();
        std::string line;
        while (file.ReadLine(line)) {
            const CFrame frame(line);
            lines += frame.HasValidChecksum() ? 1 : 0;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::unlink(path);

    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("file: %zu bytes, %d data lines\n", made.bytes.size(), made.dataLines);
    std::printf("read and check: %.2f ms a pass, %.0f lines/s, %.1f MiB/s\n", seconds * 1000 / kPasses,
                static_cast<double>(lines) / seconds,
                static_cast<double>(made.bytes.size()) * kPasses / seconds / (1024 * 1024));
    std::printf("peak resident memory: %ld KiB (the file's own bytes held once by the maker)\n", usage.ru_maxrss);
    return lines == static_cast<long>(made.dataLines) * kPasses ? 0 : 1;
}
