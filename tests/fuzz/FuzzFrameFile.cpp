// Fuzz target: arbitrary bytes as a frame and as a firmware file.

#include "firmware/FirmwareFile.h"
#include "firmware/FirmwareLoader.h"
#include "link/Frame.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

void ExerciseFrame(const std::string& text)
{
    CFrame frame(text);
    volatile int sink = 0;
    sink = sink + frame.HasValidChecksum() + frame.IsBlockMarker() + frame.GetBlockSum();
    sink = sink + static_cast<int>(frame.GetFirstFieldTail().size());
    for (bool blockStart : {false, true}) {
        sink = sink + frame.GetAddress(blockStart) + frame.GetDataLength(blockStart) + frame.GetDataSum(blockStart);
        sink = sink + static_cast<int>(frame.GetDataText(blockStart).size());
    }
    frame.AppendChecksum();
    if (!text.empty() && !frame.HasValidChecksum())
        __builtin_trap();  // a body completed by AppendChecksum must pass the test
}

// Reads the file the way the tool does: header queries, then the loader
// walk over the data lines.
void ExerciseFile(int fd)
{
    CFirmwareFile file;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (!file.Open(path.c_str()))
        return;
    file.FindText("[PSDINDEX]");
    file.GetIndex();
    file.GetDevice();
    const int32_t dataSize = file.GetDataSize();
    if (dataSize < 0)
        __builtin_trap();
    const LoadResult result = LoadFirmwareData(file);
    // Every line but the last takes at least its line end, the last one at
    // least one byte.
    if (result.lines > (int64_t{dataSize} + 1) / 2 || file.m_nTotalBytes != result.totalBytes)
        __builtin_trap();
    std::string version1, version2;
    DecodeVersionRecord(result.versionText, version1, version2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    if (size <= 512)
        ExerciseFrame(bytes);

    static const int fd = ::memfd_create("fuzz-file", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        return 0;
    ExerciseFile(fd);
    return 0;
}
