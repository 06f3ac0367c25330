#pragma once
// Writes firmware files: a [PSDINDEX] header with INDEX= and DEVICE lines
// and a [DATA] section of frame lines in blocks, each block opened by a
// block-start line that carries the block's 16-bit data sum and closed by
// a marker line. Deliberate faults can be written for tests.

#include <cstdint>
#include <string>
#include <vector>

struct MakerOptions {
    std::string index = "CVF-DEMO-0001";
    std::string device = "Demo Controller";
    std::string version1 = "V2.4.1";
    std::string version2 = "2026-11";
    bool writeVersion = true;      // put the version record 0x1000 above the first block's start
    int lineBytes = 32;            // data bytes per line, 1..128
    int blockBytes = 8192;         // data bytes per block
    int blocks = 3;                // generated content: number of blocks
    uint16_t startAddress = 0;
    bool finalMarker = true;       // close the last block with a marker line
    std::vector<uint8_t> image;    // content to write; empty: generated
    uint32_t seed = 1;             // for generated content

    // Deliberate faults; line and block numbers count from 1, 0 is none.
    int badChecksumLine = 0;       // data line with a wrong checksum
    int badBlockSum = 0;           // block whose block sum is wrong
    int lowercaseChecksumLine = 0; // data line whose checksum has a lower-case letter; -1: last line
    bool lfOnly = false;           // LF alone as line end
    bool blankLineAtEnd = false;   // an empty line after the last frame
    int overlongLine = 0;          // data line padded to 320 characters (valid checksum)
};

struct MakerResult {
    std::string bytes;             // the whole file
    int dataLines = 0;             // lines in the data section, markers included
    int blocks = 0;
    int64_t dataBytes = 0;         // data bytes over all lines
    std::string error;             // non-empty when the options cannot be met
};

MakerResult MakeFirmwareFile(const MakerOptions& options);
