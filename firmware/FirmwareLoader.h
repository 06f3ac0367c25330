#pragma once
// The walk over a firmware file's data section that decides whether the
// file may be sent to a device: every line must be a frame with a valid
// checksum and no longer than the format allows, and every block closed
// by a marker line must add up to the sum its block-start line carries.
// On the way it counts the data bytes and collects the hexadecimal text of
// the version record. Every reader of data lines (the tool's loading step,
// cvf-make --describe, tests, fuzzing, benchmarks) uses this one walk.

#include "firmware/FirmwareFile.h"

#include <cstdint>
#include <functional>
#include <string>

enum class LoadFault {
    None = 0,
    BadChecksum,   // a line is not a frame with a valid checksum (an empty line included)
    LineTooLong,   // a line has no line end within LINE_CHUNK bytes
    BlockSum,      // the data of a block do not add up to its block sum
    ReadError,     // the file could not be read to its end
};

struct LoadResult {
    LoadFault fault = LoadFault::None;
    int64_t faultLine = 0;     // 1-based number of the faulty data line, 0 when good
    int64_t lines = 0;         // data lines read, the faulty one included
    int64_t markers = 0;       // marker lines among them
    int32_t totalBytes = 0;    // data bytes of all lines that are not markers
    std::string versionText;   // hex digits collected for the version record

    bool Good() const { return fault == LoadFault::None; }
};

// Called with the progress in percent (0..100) whenever it differs from
// the value last reported. The walk starts at 0 without reporting it, so a
// data section without lines reports nothing.
using LoadProgress = std::function<void(int percent)>;

// Walks the data section of an open file from its first data line to the
// end, or to the first faulty line. Sets file.m_nTotalBytes to 0 first and
// adds every counted line to it, so a failed walk leaves the count reached.
// Leaves the file positioned after the last line read.
//
// A marker line compares the 16-bit sum of the block's data with the block
// sum of the block's first line; a marker before any such line closes an
// empty block (sum 0), and a last block without a marker is not compared.
// The version record is looked for VERSION_RECORD_OFFSET above the start
// address of each block until all VERSION_RECORD_SIZE bytes are found;
// addresses wrap at 65536, and lines without data bytes take no part.
LoadResult LoadFirmwareData(CFirmwareFile& file, const LoadProgress& progress = {});

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
