// Fuzz target: arbitrary bytes as a frame and as a firmware file.

#include "firmware/FirmwareFile.h"
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

// Reads the file the way the tool does: header queries, then every data
// line as a frame with block sums.
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
    file.SeekToData();
    std::string line;
    bool blockStart = true;
    unsigned sum = 0;
    int32_t blockSum = 0;
    int lines = 0;
    volatile int badBlocks = 0;
    while (file.ReadLine(line)) {
        if (line.size() > static_cast<size_t>(LINE_CHUNK) || ++lines > 100000)
            __builtin_trap();  // lines are bounded, and the walk ends
        CFrame frame(line);
        if (!frame.HasValidChecksum() || file.LastLineTooLong())
            continue;
        if (frame.IsBlockMarker()) {
            if ((sum & 0xFFFF) != static_cast<unsigned>(blockSum & 0xFFFF))
                badBlocks = badBlocks + 1;
            sum = 0;
            blockStart = true;
            continue;
        }
        if (blockStart)
            blockSum = frame.GetBlockSum();
        sum += frame.GetDataSum(blockStart);
        blockStart = false;
    }
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
