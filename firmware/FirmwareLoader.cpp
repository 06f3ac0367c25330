#include "firmware/FirmwareLoader.h"

#include "firmware/FirmwareImage.h"
#include "link/Frame.h"

#include <algorithm>

namespace {

// Collects the hex text of the VERSION_RECORD_SIZE bytes that lie
// VERSION_RECORD_OFFSET above the start address of a block, from as many
// consecutive lines as they take. While the record is incomplete, every
// block-start line aims the search at its own block anew; the bytes
// already collected are kept.
class CVersionCollector {
public:
    bool Done() const { return m_wanted <= 0; }
    const std::string& Text() const { return m_text; }

    void AimAt(uint16_t blockStartAddress)
    {
        m_target = static_cast<uint16_t>(blockStartAddress + VERSION_RECORD_OFFSET);
    }

    void Collect(const CFrame& frame, bool blockStart)
    {
        const uint16_t address = frame.GetAddress(blockStart);
        const int length = frame.GetDataLength(blockStart);
        // Addresses are 16 bits: the distance from the line's first byte
        // to the target is taken modulo 65536, so a line that runs past
        // 0xFFFF into 0x0000 covers the target on both sides of the wrap.
        // A line without data bytes covers nothing.
        const int offset = static_cast<uint16_t>(m_target - address);
        if (offset >= length)
            return;
        const int take = std::min(m_wanted, length - offset);
        m_text += frame.GetDataText(blockStart).substr(static_cast<size_t>(2 * offset), static_cast<size_t>(2 * take));
        m_wanted -= take;
        m_target = static_cast<uint16_t>(m_target + take);
    }

private:
    uint16_t m_target = 0;
    int m_wanted = VERSION_RECORD_SIZE;
    std::string m_text;
};

}  // namespace

void CFirmwareLines::Clear()
{
    m_text.clear();
    m_text.shrink_to_fit();
    m_ends.clear();
    m_ends.shrink_to_fit();
}

void CFirmwareLines::Append(std::string_view line)
{
    m_text.append(line);
    m_ends.push_back(m_text.size());
}

std::string_view CFirmwareLines::Line(size_t index) const
{
    const size_t begin = index == 0 ? 0 : m_ends[index - 1];
    return std::string_view(m_text).substr(begin, m_ends[index] - begin);
}

int64_t CountDataBytes(const CLineSequence& lines)
{
    int64_t total = 0;
    bool blockStart = true;
    CFrame frame;
    for (size_t i = 0; i < lines.Count(); ++i) {
        frame.SetText(lines.Line(i));
        if (frame.IsBlockMarker()) {
            blockStart = true;
            continue;
        }
        total += frame.GetDataLength(blockStart);
        blockStart = false;
    }
    return total;
}

int LoadPercent(int64_t consumed, int64_t dataSize)
{
    if (consumed >= dataSize)
        return 100;
    return static_cast<int>(consumed * 100 / dataSize);
}

LoadResult LoadFirmwareData(CFirmwareFile& file, const LoadProgress& progress)
{
    LoadRequest request;
    request.progress = progress;
    return LoadFirmwareData(file, request);
}

LoadResult LoadFirmwareData(CFirmwareFile& file, const LoadRequest& request)
{
    LoadResult result;
    file.m_nTotalBytes = 0;
    const CFirmwareFile::Stamp before = file.GetStamp();

    // The line to blame is the last one read unless said otherwise.
    auto fail = [&result](LoadFault fault, int64_t line = -1) {
        result.fault = fault;
        result.faultLine = line < 0 ? result.lines : line;
        result.data.Clear();
        return std::move(result);
    };
    auto stopped = [&request] { return request.stop != nullptr && request.stop->load(); };
    // A failed read looks like the end of the file to ReadLine; a file cut
    // short that way is not good.
    auto unreadable = [&file] { return file.ReadError() != 0; };

    // The lines before the data section: up to and with the first line
    // that holds "[DATA]", where the data section is found as well.
    std::string line;
    file.Seek(0, CFirmwareFile::begin);
    for (int64_t number = 1; file.ReadLine(line); ++number) {
        if (stopped())
            return fail(LoadFault::Stopped);
        if (file.LastLineTooLong())
            return fail(LoadFault::HeaderLineTooLong, number);
        if (line.find("[DATA]") != std::string::npos)
            break;
    }
    if (unreadable())
        return fail(LoadFault::ReadError);
    result.index = file.GetIndex();
    if (unreadable())
        return fail(LoadFault::ReadError);
    result.device = file.GetDevice();
    if (unreadable())
        return fail(LoadFault::ReadError);
    const int64_t dataSize = file.GetDataSize();
    if (unreadable())
        return fail(LoadFault::ReadError);
    file.SeekToData();
    if (unreadable())
        return fail(LoadFault::ReadError);
    if (request.keepLines) {
        // The lines without their line ends fit in the data section. Held
        // to a sane size, since a file may claim what it likes.
        constexpr int64_t kReserveLimit = int64_t{256} << 20;
        result.data.Reserve(static_cast<size_t>(std::clamp<int64_t>(dataSize, 0, kReserveLimit)));
    }

    int64_t consumed = 0;
    int percent = 0;
    bool blockStart = true;
    uint16_t runningSum = 0;
    int32_t blockSum = 0;  // a marker before any block-start line closes an empty block
    CVersionCollector version;
    CFrame frame;

    while (file.ReadLine(line)) {
        ++result.lines;
        if (stopped())
            return fail(LoadFault::Stopped);
        consumed += static_cast<int64_t>(line.size()) + 2;
        const int now = LoadPercent(consumed, dataSize);
        if (now != percent) {
            percent = now;
            if (request.progress)
                request.progress(percent);
        }

        if (file.LastLineTooLong())
            return fail(LoadFault::LineTooLong);
        frame.SetText(line);
        if (!frame.HasValidChecksum())
            return fail(LoadFault::BadChecksum);
        // The device answers a line only at its EOT: a line without one
        // would wait out the line time-out and leave the device mid-update.
        if (line.back() != FRAME_TERMINATOR)
            return fail(LoadFault::NoTerminator);
        if (request.keepLines)
            result.data.Append(line);

        if (frame.IsBlockMarker()) {
            ++result.markers;
            if (runningSum != static_cast<uint16_t>(blockSum))
                return fail(LoadFault::BlockSum);
            runningSum = 0;
            blockStart = true;
            continue;
        }

        if (blockStart) {
            blockSum = frame.GetBlockSum();
            if (!version.Done())
                version.AimAt(frame.GetAddress(true));
        }
        if (!version.Done())
            version.Collect(frame, blockStart);
        runningSum = static_cast<uint16_t>(runningSum + frame.GetDataSum(blockStart));
        const int bytes = frame.GetDataLength(blockStart);
        file.m_nTotalBytes += bytes;
        result.totalBytes += bytes;
        blockStart = false;
    }

    result.versionText = version.Text();
    if (unreadable())
        return fail(LoadFault::ReadError);
    if (request.keepLines) {
        // The file's bytes as they were checked: the stamps around the walk
        // cover this read too.
        CSha256 hash;
        char chunk[65536];
        file.Seek(0, CFirmwareFile::begin);
        for (size_t got; (got = file.Read(chunk, sizeof chunk)) > 0;)
            hash.Update(std::string_view(chunk, got));
        if (unreadable())
            return fail(LoadFault::ReadError);
        result.fileSha256 = HexDigest(hash.Final());
    }
    if (file.GetStamp() != before)
        return fail(LoadFault::Changed, 0);
    return result;
}

int32_t HexPairValue(const std::string& text)
{
    return CFrame::HexValue(text);
}

void DecodeVersionRecord(const std::string& hexText, std::string& version1, std::string& version2)
{
    const size_t n = hexText.size();
    std::string bytes;
    bytes.reserve(n / 2 + 1);
    for (size_t i = 0; i < n; i += 2)
        bytes += static_cast<char>(HexPairValue(hexText.substr(i, 2)) & 0xFF);

    // p: the place of the first NUL, the whole length without one, -1 for
    // nothing at all.
    const size_t nul = bytes.find('\0');
    const int64_t p = bytes.empty() ? -1 : static_cast<int64_t>(nul == std::string::npos ? bytes.size() : nul);
    version1 = p > 0 ? bytes.substr(0, static_cast<size_t>(p)) : std::string();

    // The bytes after the first NUL, counted from the end of the text.
    const int64_t count = static_cast<int64_t>(n / 2) - p - 1;
    version2 = count > 0 ? bytes.substr(bytes.size() - static_cast<size_t>(count)) : std::string();
}
