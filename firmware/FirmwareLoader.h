#pragma once
// The walk over a firmware file that decides whether the file may be sent
// to a device: every line must be at most LINE_CHUNK - 1 characters long,
// header lines included; every data line must be a frame with a valid
// checksum that ends in EOT (the device answers nothing else); and every
// block closed by a marker line must add up to the sum its block-start
// line carries. On the way it reads the header values, counts the data
// bytes, collects the hexadecimal text of the version record and, when
// asked, keeps the data lines exactly as it checked them: those, not the
// file, are what a transfer sends. Every reader of data lines (the tool's
// loading step, the command-line updater, cvf-make --describe, tests,
// fuzzing, benchmarks) uses this one walk.

#include "firmware/FirmwareFile.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

enum class LoadFault {
    None = 0,
    BadChecksum,         // a data line is not a frame with a valid checksum (an empty line included)
    LineTooLong,         // a data line has no line end within LINE_CHUNK bytes
    BlockSum,            // the data of a block do not add up to its block sum
    ReadError,           // the file could not be read to its end
    NoTerminator,        // a data line with a valid checksum does not end in EOT
    HeaderLineTooLong,   // a line before the data section has no line end within LINE_CHUNK bytes
    Changed,             // the file was written to while it was read
    Stopped,             // the caller asked the walk to stop
};

// Data lines in order, wherever they are held.
class CLineSequence {
public:
    virtual ~CLineSequence() = default;
    virtual size_t Count() const = 0;
    virtual std::string_view Line(size_t index) const = 0;
    bool Empty() const { return Count() == 0; }
};

// The data lines of a file as the walk checked them, without their line
// ends, in one block of memory.
class CFirmwareLines : public CLineSequence {
public:
    void Clear();
    // Room for this many bytes of lines, so that the lines of a file are
    // held once and not copied as they grow.
    void Reserve(size_t bytes) { m_text.reserve(bytes); }
    void Append(std::string_view line);
    size_t Count() const override { return m_ends.size(); }
    std::string_view Line(size_t index) const override;
    // Bytes held, for the curious.
    size_t Size() const { return m_text.size(); }

private:
    std::string m_text;
    std::vector<size_t> m_ends;  // end offset of each line in m_text
};

struct LoadResult {
    LoadFault fault = LoadFault::None;
    // 1-based number of the faulty data line (for HeaderLineTooLong: of the
    // faulty line of the file), 0 when good or when no line is to blame.
    int64_t faultLine = 0;
    int64_t lines = 0;         // data lines read, the faulty one included
    int64_t markers = 0;       // marker lines among them
    int32_t totalBytes = 0;    // data bytes of all lines that are not markers
    std::string versionText;   // hex digits collected for the version record
    std::string index;         // the file's INDEX= value
    std::string device;        // the file's DEVICE value
    CFirmwareLines data;       // the data lines, when the request kept them and the file is good
    std::string fileSha256;    // the SHA-256 of the file's bytes, when the request kept the lines and it is good

    bool Good() const { return fault == LoadFault::None; }
};

// Called with the progress in percent (0..100) whenever it differs from
// the value last reported. The walk starts at 0 without reporting it, so a
// data section without lines reports nothing.
using LoadProgress = std::function<void(int percent)>;

// What a walk is asked to do besides checking.
struct LoadRequest {
    LoadProgress progress;
    bool keepLines = false;                  // fill LoadResult::data and LoadResult::fileSha256
    const std::atomic<bool>* stop = nullptr;  // checked before every line
};

// Reads the header values, checks the lines before the data section, then
// walks the data section of an open file from its first data line to the
// end, or to the first faulty line; when it keeps the lines it also hashes
// the whole file, within the same stamps. Sets file.m_nTotalBytes to 0 first and
// adds every counted line to it, so a failed walk leaves the count reached.
// Leaves the file positioned after the last line read. A file whose
// device, inode, size or modification time differ after the walk from
// before it is not good (Changed): what was kept may be a mix.
//
// A marker line compares the 16-bit sum of the block's data with the block
// sum of the block's first line; a marker before any such line closes an
// empty block (sum 0), and a last block without a marker is not compared.
// The version record is looked for VERSION_RECORD_OFFSET above the start
// address of each block until all VERSION_RECORD_SIZE bytes are found;
// addresses wrap at 65536, and lines without data bytes take no part.
LoadResult LoadFirmwareData(CFirmwareFile& file, const LoadRequest& request);
LoadResult LoadFirmwareData(CFirmwareFile& file, const LoadProgress& progress = {});

// The data bytes the lines carry, counted as the walk counts them: every
// line that is not a block marker, the first of a block with its extra
// field.
int64_t CountDataBytes(const CLineSequence& lines);

// Progress in percent after consumed of dataSize bytes: 100 once consumed
// reaches dataSize (a last line without its line end counts two bytes
// more than the file holds), otherwise consumed * 100 / dataSize rounded
// down.
int LoadPercent(int64_t consumed, int64_t dataSize);

// Value of a text of hex digits by the frame's lenient digit rule, shifted
// in four bits at a time from 0.
int32_t HexPairValue(const std::string& text);

// Splits the collected version-record text into its two texts: the bytes
// up to the first NUL, and the bytes after it (the last n/2 - p - 1 of the
// decoded bytes, for n digits and the first NUL at p). NUL bytes after the
// first stay in the second text; a display ends it at its first NUL.
void DecodeVersionRecord(const std::string& hexText, std::string& version1, std::string& version2);
