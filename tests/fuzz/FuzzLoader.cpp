// Fuzz target: arbitrary bytes as a whole firmware file, loaded by the
// loader walk. Checks what must hold for any file: the progress only
// rises and stays within 0..100, a good walk ends at 100, the counts agree
// with each other and with the file's byte count, the version record text
// stays within its 32 bytes, and a second load of the same file gives the
// same result.

#include "firmware/FirmwareFile.h"
#include "firmware/FirmwareLoader.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

void ExerciseLoader(CFirmwareFile& file, size_t size)
{
    std::vector<int> progress;
    const LoadResult r = LoadFirmwareData(file, [&progress](int percent) { progress.push_back(percent); });

    for (size_t i = 0; i < progress.size(); ++i) {
        Check(progress[i] > 0 && progress[i] <= 100);
        Check(i == 0 || progress[i - 1] < progress[i]);
    }
    Check(r.Good() == (r.fault == LoadFault::None));
    // A fault before the data section blames no data line.
    const bool beforeData = r.fault == LoadFault::HeaderLineTooLong || (r.fault == LoadFault::ReadError && r.lines == 0);
    Check(r.Good() ? r.faultLine == 0 : beforeData ? r.lines == 0 : r.faultLine == r.lines && r.lines > 0);
    Check(!r.Good() || r.lines == 0 || (!progress.empty() && progress.back() == 100));
    Check(r.markers <= r.lines);
    Check(r.totalBytes >= 0 && static_cast<size_t>(r.totalBytes) <= size / 2);
    Check(file.m_nTotalBytes == r.totalBytes);
    Check(r.versionText.size() <= 2 * static_cast<size_t>(VERSION_RECORD_SIZE) && r.versionText.size() % 2 == 0);

    std::string version1, version2;
    DecodeVersionRecord(r.versionText, version1, version2);
    Check(version1.size() + version2.size() <= static_cast<size_t>(VERSION_RECORD_SIZE));

    const LoadResult again = LoadFirmwareData(file);
    Check(again.fault == r.fault && again.faultLine == r.faultLine && again.lines == r.lines &&
          again.markers == r.markers && again.totalBytes == r.totalBytes && again.versionText == r.versionText);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const int fd = ::memfd_create("fuzz-loader", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        return 0;
    CFirmwareFile file;
    if (!file.Open(("/proc/self/fd/" + std::to_string(fd)).c_str()))
        return 0;
    ExerciseLoader(file, size);
    return 0;
}
