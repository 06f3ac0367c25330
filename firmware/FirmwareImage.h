#pragma once
// The checked data lines of a firmware file as one sealed block of memory
// that a device process is handed instead of the file: it never reads the
// file, and nobody can change the block once it is made.
//
// The block holds, in this order:
//   every line as a 4-byte length and its bytes (the line section),
//   the number of lines (8 bytes), the data bytes they carry (8 bytes),
//   the SHA-256 of the line section (32 bytes),
//   the file's index as a 4-byte length and its bytes,
//   the size of the line section (8 bytes) and the tag "CVFIMG01".
// All numbers are little-endian. The reader checks the tag, the sizes,
// every length, the count, the data bytes (counted again from the lines
// by the loader's rule) and the hash before it hands out a single line.

#include "firmware/FirmwareLoader.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using Sha256Digest = std::array<uint8_t, 32>;

Sha256Digest Sha256(std::string_view bytes);

// SHA-256 of bytes handed over piece by piece.
class CSha256 {
public:
    CSha256();
    void Update(std::string_view bytes);
    Sha256Digest Final();

private:
    alignas(8) unsigned char m_context[128];  // nettle's sha256_ctx
};
// Lower-case hexadecimal, 64 digits.
std::string HexDigest(const Sha256Digest& digest);

// The block as bytes, for a memory file or a test.
std::string EncodeFirmwareImage(const CLineSequence& lines, int64_t totalBytes, const std::string& index);

// The block made once and sealed in a memory file (memfd): shrinking,
// growing and writing are sealed, so every process that maps it sees the
// same bytes for as long as it lives. Move-only; closes its descriptor.
class CFirmwareImage {
public:
    CFirmwareImage() = default;
    ~CFirmwareImage();
    CFirmwareImage(CFirmwareImage&& other) noexcept;
    CFirmwareImage& operator=(CFirmwareImage&& other) noexcept;
    CFirmwareImage(const CFirmwareImage&) = delete;
    CFirmwareImage& operator=(const CFirmwareImage&) = delete;

    // Makes and seals the block; an empty image (Fd() < 0) when no memory
    // file could be had, with errno set.
    static CFirmwareImage Make(const CLineSequence& lines, int64_t totalBytes, const std::string& index);
    // Seals the given bytes as they are (what Make does with the encoded
    // block; a test gives a spoilt one).
    static CFirmwareImage Seal(std::string_view block);

    bool Valid() const { return m_fd >= 0; }
    // Close-on-exec; whoever starts a process passes it on explicitly.
    int Fd() const { return m_fd; }
    size_t Size() const { return m_size; }

private:
    int m_fd = -1;
    size_t m_size = 0;
};

// The lines of a block that passed every check, read in place from its
// mapping. Move-only; unmaps on destruction.
class CImageLines : public CLineSequence {
public:
    CImageLines() = default;
    ~CImageLines() override;
    CImageLines(CImageLines&& other) noexcept;
    CImageLines& operator=(CImageLines&& other) noexcept;
    CImageLines(const CImageLines&) = delete;
    CImageLines& operator=(const CImageLines&) = delete;

    size_t Count() const override { return m_lines.size(); }
    std::string_view Line(size_t index) const override { return m_lines[index]; }
    int64_t TotalBytes() const { return m_totalBytes; }
    const std::string& Index() const { return m_index; }

private:
    friend bool ReadFirmwareImage(std::string_view bytes, CImageLines& out, std::string& why);
    friend bool MapFirmwareImage(int fd, CImageLines& out, std::string& why);

    void* m_map = nullptr;
    size_t m_mapSize = 0;
    std::vector<std::string_view> m_lines;
    int64_t m_totalBytes = 0;
    std::string m_index;
};

// Checks a block held elsewhere (the lines point into bytes, which must
// outlive out). False with the reason in why when anything is short or
// differs.
bool ReadFirmwareImage(std::string_view bytes, CImageLines& out, std::string& why);
// Maps a sealed memory file read-only and checks it as above. A file that
// is not sealed against writing, growing and shrinking is refused.
bool MapFirmwareImage(int fd, CImageLines& out, std::string& why);
