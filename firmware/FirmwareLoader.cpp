// Interim walk; replaced by the full loader.
#include "firmware/FirmwareLoader.h"

#include "link/Frame.h"

LoadResult LoadFirmwareData(CFirmwareFile& file, const LoadProgress& progress)
{
    LoadResult r;
    file.m_nTotalBytes = 0;
    const int64_t dataSize = file.GetDataSize();
    file.SeekToData();
    int64_t consumed = 0;
    int last = -1;
    bool blockStart = true;
    uint32_t sum = 0;
    int32_t blockSum = 0;
    bool done = false;
    uint16_t target = 0;
    int wanted = VERSION_RECORD_SIZE;
    std::string line;
    CFrame frame;
    while (file.ReadLine(line)) {
        ++r.lines;
        consumed += static_cast<int64_t>(line.size()) + 2;
        const int percent = consumed == dataSize ? 100 : dataSize ? static_cast<int>(consumed * 100 / dataSize) : 0;
        if (percent != last && progress) progress(percent);
        last = percent;
        frame.SetText(line);
        if (file.LastLineTooLong()) { r.fault = LoadFault::LineTooLong; r.faultLine = r.lines; return r; }
        if (!frame.HasValidChecksum()) { r.fault = LoadFault::BadChecksum; r.faultLine = r.lines; return r; }
        if (frame.IsBlockMarker()) {
            ++r.markers;
            if ((sum & 0xFFFF) != static_cast<uint32_t>(blockSum & 0xFFFF)) { r.fault = LoadFault::BlockSum; r.faultLine = r.lines; return r; }
            sum = 0; blockStart = true; continue;
        }
        if (blockStart) { blockSum = frame.GetBlockSum(); if (!done) target = static_cast<uint16_t>(frame.GetAddress(true) + 0x1000); }
        if (!done) {
            const uint16_t a = frame.GetAddress(blockStart);
            const int n = frame.GetDataLength(blockStart);
            if (n > 0 && a <= target && target <= static_cast<uint16_t>(a + n - 1)) {
                const int h = 2 * (target - a);
                int g = 2 * wanted;
                if (g + h >= 2 * n) g = 2 * n - h;
                r.versionText += frame.GetDataText(blockStart).substr(h, g);
                wanted -= g / 2; target = static_cast<uint16_t>(target + g / 2);
            }
            if (wanted <= 0) done = true;
        }
        sum += frame.GetDataSum(blockStart);
        file.m_nTotalBytes += frame.GetDataLength(blockStart);
        r.totalBytes += frame.GetDataLength(blockStart);
        blockStart = false;
    }
    return r;
}

int32_t HexPairValue(const std::string& text) { return CFrame::HexValue(text); }

void DecodeVersionRecord(const std::string& hex, std::string& v1, std::string& v2)
{
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2) bytes += static_cast<char>(HexPairValue(hex.substr(i, 2)) & 0xFF);
    const int n = static_cast<int>(hex.size());
    int p = bytes.empty() ? -1 : static_cast<int>(bytes.find('\0') == std::string::npos ? bytes.size() : bytes.find('\0'));
    v1 = p <= 0 ? std::string() : bytes.substr(0, p);
    const int rest = n / 2 - p - 1;
    v2 = rest <= 0 ? std::string() : bytes.substr(bytes.size() - rest);
}
