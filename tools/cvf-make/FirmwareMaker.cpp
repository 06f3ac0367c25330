#include "FirmwareMaker.h"

#include "firmware/FirmwareFile.h"
#include "link/Frame.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

std::string Hex(unsigned value, int digits)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%0*X", digits, value);
    return buffer;
}

std::string HexBytes(const uint8_t* data, size_t count)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

std::vector<uint8_t> GeneratedImage(const MakerOptions& o)
{
    std::vector<uint8_t> image(static_cast<size_t>(o.blocks) * static_cast<size_t>(o.blockBytes));
    uint32_t state = o.seed ? o.seed : 1;
    for (auto& byte : image) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return image;
}

bool HasLetterDigit(const std::string& checksum)
{
    return std::any_of(checksum.begin(), checksum.end(), [](char c) { return c >= 'A' && c <= 'F'; });
}

// The case variants of field 0 that leave the line's meaning alone: each
// leading letter on its own, and a trailing XXX marker as a whole.
std::vector<std::string> CaseVariants(const std::string& body)
{
    const size_t sep = body.find('|');
    std::string field0 = body.substr(0, sep);
    const bool marker = field0.size() >= 3 && field0.compare(field0.size() - 3, 3, "XXX") == 0;
    const size_t single = marker ? field0.size() - 3 : field0.size();
    const int bits = static_cast<int>(single) + (marker ? 1 : 0);
    std::vector<std::string> variants;
    for (int mask = 0; mask < (1 << bits); ++mask) {
        std::string f = field0;
        for (size_t i = 0; i < single; ++i)
            if (mask & (1 << i))
                f[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(f[i])));
        if (marker && (mask & (1 << single)))
            f.replace(f.size() - 3, 3, "xxx");
        variants.push_back(f + body.substr(sep));
    }
    return variants;
}

struct LineFaults {
    bool badChecksum = false;
    bool lowercase = false;
    bool overlong = false;
};

// Completes a body with checksum and EOT, applying the faults asked for.
std::string CompleteLine(std::string body, const LineFaults& faults, std::string& error)
{
    if (faults.overlong) {
        // Pad field 1 with leading zeros; its value is not read.
        const size_t sep = body.find('|');
        const size_t pad = 320 - 3 - std::min<size_t>(body.size(), 317);
        body.insert(sep + 1, std::string(pad, '0'));
    }
    if (faults.lowercase) {
        for (const std::string& variant : CaseVariants(body)) {
            if (HasLetterDigit(CFrame::ChecksumText(variant))) {
                body = variant;
                break;
            }
        }
    }
    std::string checksum = CFrame::ChecksumText(body);
    if (faults.badChecksum)
        checksum = CFrame::ChecksumText(body + '\x01');
    if (faults.lowercase) {
        auto letter = std::find_if(checksum.begin(), checksum.end(), [](char c) { return c >= 'A' && c <= 'F'; });
        if (letter == checksum.end())
            error = "no case variant of the line gives a checksum with a letter digit";
        else
            *letter = static_cast<char>(std::tolower(static_cast<unsigned char>(*letter)));
    }
    return body + checksum + FRAME_TERMINATOR;
}

}  // namespace

MakerResult MakeFirmwareFile(const MakerOptions& o)
{
    MakerResult result;
    if (o.lineBytes < 1 || o.lineBytes > 128) {
        result.error = "data bytes per line must be 1 to 128";
        return result;
    }
    if (o.blockBytes < 1) {
        result.error = "bytes per block must be at least 1";
        return result;
    }
    if (o.image.empty() && (o.blocks < 0 || o.blocks > 4096)) {
        result.error = "number of blocks must be 0 to 4096";
        return result;
    }

    std::vector<uint8_t> image = o.image.empty() ? GeneratedImage(o) : o.image;

    if (o.writeVersion) {
        const std::string record = o.version1 + std::string(1, '\0') + o.version2;
        if (record.size() > static_cast<size_t>(VERSION_RECORD_SIZE)) {
            result.error = "the two version texts take more than 31 bytes";
            return result;
        }
        const auto at = static_cast<size_t>(VERSION_RECORD_OFFSET);
        if (static_cast<size_t>(o.blockBytes) < at + VERSION_RECORD_SIZE || image.size() < at + VERSION_RECORD_SIZE) {
            result.error = "the first block is too small to hold the version record at 0x1000";
            return result;
        }
        std::fill_n(image.begin() + static_cast<long>(at), VERSION_RECORD_SIZE, uint8_t{0});
        std::copy(record.begin(), record.end(), image.begin() + static_cast<long>(at));
    }

    const std::string eol = o.lfOnly ? "\n" : "\r\n";
    std::string& out = result.bytes;
    out += "[PSDINDEX]" + eol;
    out += "INDEX=" + o.index + eol;
    out += "DEVICE=" + o.device + eol;
    out += "[DATA]" + eol;

    const size_t blockBytes = static_cast<size_t>(o.blockBytes);
    const size_t blockCount = (image.size() + blockBytes - 1) / blockBytes;
    std::vector<std::string> lines;
    for (size_t b = 0; b < blockCount; ++b) {
        const size_t begin = b * blockBytes;
        const size_t end = std::min(image.size(), begin + blockBytes);
        const unsigned blockStart = (o.startAddress + begin) & 0xFFFF;
        unsigned sum = 0;
        for (size_t i = begin; i < end; ++i)
            sum += image[i];
        if (o.badBlockSum == static_cast<int>(b) + 1)
            sum += 1;
        const std::string blockNo = Hex(b & 0xFF, 2);

        for (size_t at = begin; at < end; at += static_cast<size_t>(o.lineBytes)) {
            const size_t count = std::min(end - at, static_cast<size_t>(o.lineBytes));
            const std::string data = HexBytes(image.data() + at, count);
            if (at == begin)
                lines.push_back("FWBS|" + blockNo + "|" + Hex(static_cast<unsigned>(count), 2) + "|" +
                                Hex(sum & 0xFFFF, 4) + "|" + Hex(blockStart, 4) + "|" + data + "|");
            else
                lines.push_back("FWDL|" + blockNo + "|" + Hex(static_cast<unsigned>(count), 2) + "|" +
                                Hex((o.startAddress + at) & 0xFFFF, 4) + "|" + data + "|");
            result.dataBytes += static_cast<int64_t>(count);
        }
        if (b + 1 < blockCount || o.finalMarker)
            lines.push_back("FWXXX|" + blockNo + "|");
    }
    result.blocks = static_cast<int>(blockCount);
    result.dataLines = static_cast<int>(lines.size());

    const int total = result.dataLines;
    const int lowercase = o.lowercaseChecksumLine < 0 ? total : o.lowercaseChecksumLine;
    for (int n = 1; n <= total; ++n) {
        LineFaults faults;
        faults.badChecksum = n == o.badChecksumLine;
        faults.lowercase = n == lowercase;
        faults.overlong = n == o.overlongLine;
        out += CompleteLine(lines[static_cast<size_t>(n - 1)], faults, result.error);
        out += eol;
    }
    if (o.blankLineAtEnd)
        out += eol;
    return result;
}
