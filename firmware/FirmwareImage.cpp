#include "firmware/FirmwareImage.h"

#include <nettle/sha2.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view kTag = "CVFIMG01";
// After the lines: count, data bytes, digest, and the index's length.
constexpr size_t kSummarySize = 8 + 8 + 32 + 4;
// At the very end: the line section's size and the tag.
constexpr size_t kFooterSize = 8 + 8;
constexpr unsigned kSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL;

void PutLe(std::string& out, uint64_t value, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint64_t GetLe(std::string_view bytes, size_t at, size_t count)
{
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i)
        value |= uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
    return value;
}

bool WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

static_assert(sizeof(sha256_ctx) <= 128, "room for nettle's context in CSha256");

CSha256::CSha256()
{
    sha256_init(reinterpret_cast<sha256_ctx*>(m_context));
}

void CSha256::Update(std::string_view bytes)
{
    sha256_update(reinterpret_cast<sha256_ctx*>(m_context), bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data()));
}

Sha256Digest CSha256::Final()
{
    Sha256Digest digest{};
    sha256_digest(reinterpret_cast<sha256_ctx*>(m_context), digest.size(), digest.data());
    return digest;
}

Sha256Digest Sha256(std::string_view bytes)
{
    CSha256 hash;
    hash.Update(bytes);
    return hash.Final();
}

std::string HexDigest(const Sha256Digest& digest)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * digest.size());
    for (const uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::string EncodeFirmwareImage(const CLineSequence& lines, int64_t totalBytes, const std::string& index)
{
    std::string block;
    size_t size = kSummarySize + index.size() + kFooterSize;
    for (size_t i = 0; i < lines.Count(); ++i)
        size += 4 + lines.Line(i).size();
    block.reserve(size);
    for (size_t i = 0; i < lines.Count(); ++i) {
        const std::string_view line = lines.Line(i);
        PutLe(block, line.size(), 4);
        block.append(line);
    }
    const size_t lineSection = block.size();
    const Sha256Digest digest = Sha256(block);
    PutLe(block, lines.Count(), 8);
    PutLe(block, static_cast<uint64_t>(totalBytes), 8);
    block.append(reinterpret_cast<const char*>(digest.data()), digest.size());
    PutLe(block, index.size(), 4);
    block += index;
    PutLe(block, lineSection, 8);
    block += kTag;
    return block;
}

// ---------------------------------------------------------------------------

CFirmwareImage::~CFirmwareImage()
{
    if (m_fd >= 0)
        close(m_fd);
}

CFirmwareImage::CFirmwareImage(CFirmwareImage&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_size(std::exchange(other.m_size, 0))
{
}

CFirmwareImage& CFirmwareImage::operator=(CFirmwareImage&& other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_size = std::exchange(other.m_size, 0);
    }
    return *this;
}

CFirmwareImage CFirmwareImage::Make(const CLineSequence& lines, int64_t totalBytes, const std::string& index)
{
    return Seal(EncodeFirmwareImage(lines, totalBytes, index));
}

CFirmwareImage CFirmwareImage::Seal(std::string_view block)
{
    CFirmwareImage image;
    const int fd = memfd_create("cvf-firmware", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return image;
    if (!WriteAll(fd, block) || fcntl(fd, F_ADD_SEALS, kSeals) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return image;
    }
    image.m_fd = fd;
    image.m_size = block.size();
    return image;
}

// ---------------------------------------------------------------------------

CImageLines::~CImageLines()
{
    if (m_map != nullptr)
        munmap(m_map, m_mapSize);
}

CImageLines::CImageLines(CImageLines&& other) noexcept
    : m_map(std::exchange(other.m_map, nullptr)),
      m_mapSize(std::exchange(other.m_mapSize, 0)),
      m_lines(std::move(other.m_lines)),
      m_totalBytes(other.m_totalBytes),
      m_index(std::move(other.m_index))
{
}

CImageLines& CImageLines::operator=(CImageLines&& other) noexcept
{
    if (this != &other) {
        if (m_map != nullptr)
            munmap(m_map, m_mapSize);
        m_map = std::exchange(other.m_map, nullptr);
        m_mapSize = std::exchange(other.m_mapSize, 0);
        m_lines = std::move(other.m_lines);
        m_totalBytes = other.m_totalBytes;
        m_index = std::move(other.m_index);
    }
    return *this;
}

bool ReadFirmwareImage(std::string_view bytes, CImageLines& out, std::string& why)
{
    out.m_lines.clear();
    out.m_index.clear();
    out.m_totalBytes = 0;
    if (bytes.size() < kSummarySize + kFooterSize || bytes.substr(bytes.size() - kTag.size()) != kTag) {
        why = "no trailer";
        return false;
    }
    const size_t footer = bytes.size() - kFooterSize;
    const uint64_t lineSection = GetLe(bytes, footer, 8);
    if (lineSection > footer - kSummarySize) {
        why = "line section beyond the block";
        return false;
    }
    const size_t summary = static_cast<size_t>(lineSection);
    const uint64_t count = GetLe(bytes, summary, 8);
    const uint64_t totalBytes = GetLe(bytes, summary + 8, 8);
    const std::string_view digest = bytes.substr(summary + 16, 32);
    const uint64_t indexSize = GetLe(bytes, summary + 48, 4);
    if (summary + kSummarySize + indexSize != footer) {
        why = "the index does not fill the space before the footer";
        return false;
    }

    // Every length within the section, and the count as given.
    std::vector<std::string_view> lines;
    lines.reserve(static_cast<size_t>(std::min<uint64_t>(count, lineSection / 4)));
    size_t at = 0;
    while (at < lineSection) {
        if (lineSection - at < 4) {
            why = "a line length cut short";
            return false;
        }
        const uint64_t length = GetLe(bytes, at, 4);
        at += 4;
        if (length > lineSection - at) {
            why = "a line beyond its section";
            return false;
        }
        lines.push_back(bytes.substr(at, static_cast<size_t>(length)));
        at += static_cast<size_t>(length);
    }
    if (lines.size() != count) {
        why = "the count differs";
        return false;
    }
    const Sha256Digest actual = Sha256(bytes.substr(0, static_cast<size_t>(lineSection)));
    if (std::memcmp(actual.data(), digest.data(), actual.size()) != 0) {
        why = "the hash differs";
        return false;
    }
    out.m_lines = std::move(lines);
    if (static_cast<uint64_t>(CountDataBytes(out)) != totalBytes) {
        out.m_lines.clear();
        why = "the data bytes differ";
        return false;
    }
    out.m_totalBytes = static_cast<int64_t>(totalBytes);
    out.m_index.assign(bytes.substr(summary + kSummarySize, static_cast<size_t>(indexSize)));
    return true;
}

bool MapFirmwareImage(int fd, CImageLines& out, std::string& why)
{
    struct stat st {};
    const int seals = fcntl(fd, F_GET_SEALS);
    if (seals < 0 || (static_cast<unsigned>(seals) & kSeals) != kSeals) {
        why = "the block is not sealed";
        return false;
    }
    if (fstat(fd, &st) != 0 || st.st_size <= 0) {
        why = "the block is empty";
        return false;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        why = std::strerror(errno);
        return false;
    }
    CImageLines lines;
    lines.m_map = map;
    lines.m_mapSize = size;
    if (!ReadFirmwareImage(std::string_view(static_cast<const char*>(map), size), lines, why))
        return false;
    out = std::move(lines);
    return true;
}
