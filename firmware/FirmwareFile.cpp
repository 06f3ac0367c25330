#include "firmware/FirmwareFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kBufferSize = 64 * 1024;
constexpr char kDataSection[] = "[DATA]";
// "[DATA]" and CR LF. Added to an offset in 64 bits: "[DATA]" may stand
// in the last bytes of a file of INT32_MAX bytes.
constexpr int64_t kDataLineOffset = 8;

}  // namespace

CFirmwareFile::~CFirmwareFile()
{
    m_nTotalBytes = 0;
    Close();
}

bool CFirmwareFile::Open(const char* path, unsigned /*openFlags*/, CFileError* error)
{
    Close();
    auto fail = [&](int err) {
        if (error)
            error->m_osError = err;
        return false;
    };
    if (path == nullptr || *path == '\0')
        return fail(ENOENT);

    // O_NONBLOCK keeps a FIFO or a device from blocking the open; only
    // regular files are accepted afterwards.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return fail(errno);
    struct stat st {};
    int err = 0;
    if (::fstat(fd, &st) != 0)
        err = errno;
    else if (S_ISDIR(st.st_mode))
        err = EISDIR;
    else if (!S_ISREG(st.st_mode))
        err = EINVAL;
    else if (st.st_size > INT32_MAX)
        err = EFBIG;
    if (err != 0) {
        ::close(fd);
        return fail(err);
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

    m_fd = fd;
    m_bOpen = true;
    m_pos = 0;
    m_bufferLength = 0;
    m_bLineTooLong = false;
    m_nReadError = 0;
    if (error)
        error->m_osError = 0;
    return true;
}

bool CFirmwareFile::Open(const char* path)
{
    return Open(path, modeRead, nullptr);
}

void CFirmwareFile::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_bOpen = false;
    m_pos = 0;
    m_bufferLength = 0;
    m_buffer.clear();
    m_buffer.shrink_to_fit();
}

void CFirmwareFile::Abort()
{
    Close();
}

int64_t CFirmwareFile::GetLength() const
{
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0)
        return 0;
    return st.st_size;
}

CFirmwareFile::Stamp CFirmwareFile::GetStamp() const
{
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0)
        return {};
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), st.st_size,
            static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

int64_t CFirmwareFile::Seek(int64_t offset, SeekFrom from)
{
    int64_t base = 0;
    if (from == current)
        base = m_pos;
    else if (from == end)
        base = GetLength();
    m_pos = std::max<int64_t>(0, base + offset);
    return m_pos;
}

size_t CFirmwareFile::Read(char* buffer, size_t count)
{
    const size_t got = ReadAt(m_pos, buffer, count);
    m_pos += static_cast<int64_t>(got);
    return got;
}

size_t CFirmwareFile::ReadAt(int64_t pos, char* out, size_t count)
{
    if (m_fd < 0)
        return 0;
    const bool inWindow = m_bufferLength > 0 && pos >= m_bufferStart &&
                          pos + static_cast<int64_t>(count) <= m_bufferStart + static_cast<int64_t>(m_bufferLength);
    if (!inWindow) {
        if (m_buffer.size() != kBufferSize)
            m_buffer.resize(kBufferSize);
        m_bufferStart = pos;
        m_bufferLength = 0;
        while (m_bufferLength < kBufferSize) {
            const ssize_t n = ::pread(m_fd, m_buffer.data() + m_bufferLength, kBufferSize - m_bufferLength,
                                      pos + static_cast<int64_t>(m_bufferLength));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                m_nReadError = errno;
            if (n <= 0)
                break;
            m_bufferLength += static_cast<size_t>(n);
        }
    }
    const int64_t offset = pos - m_bufferStart;
    const size_t available = offset < static_cast<int64_t>(m_bufferLength) ? m_bufferLength - static_cast<size_t>(offset) : 0;
    const size_t n = std::min(count, available);
    std::memcpy(out, m_buffer.data() + offset, n);
    return n;
}

bool CFirmwareFile::ReadLine(std::string& line)
{
    m_bLineTooLong = false;
    char chunk[LINE_CHUNK];
    const size_t got = ReadAt(m_pos, chunk, sizeof chunk);
    if (got == 0)
        return false;

    const auto* end = std::find_if(chunk, chunk + got, [](char c) { return c == '\r' || c == '\n'; });
    const size_t length = static_cast<size_t>(end - chunk);
    line.assign(chunk, length);

    if (length < sizeof chunk) {
        // The next read starts two bytes after the line: just behind CR LF.
        m_pos += static_cast<int64_t>(length) + 2;
        return true;
    }

    // No line end within LINE_CHUNK bytes: the line is too long for the
    // format. Skip the rest of it so that the following lines read as
    // they stand, and report it.
    m_bLineTooLong = true;
    int64_t pos = m_pos + static_cast<int64_t>(got);
    for (;;) {
        const size_t n = ReadAt(pos, chunk, sizeof chunk);
        if (n == 0) {
            m_pos = pos;
            return true;
        }
        const auto* lineEnd = std::find_if(chunk, chunk + n, [](char c) { return c == '\r' || c == '\n'; });
        if (lineEnd != chunk + n) {
            m_pos = pos + (lineEnd - chunk) + 2;
            return true;
        }
        pos += static_cast<int64_t>(n);
    }
}

int32_t CFirmwareFile::FindText(const std::string& text)
{
    m_pos = 0;
    m_bufferLength = 0;  // every query reads the file anew
    m_nReadError = 0;
    std::string line;
    for (;;) {
        const int64_t lineStart = m_pos;
        if (!ReadLine(line))
            return -1;
        const size_t column = line.find(text);
        if (column != std::string::npos)
            return static_cast<int32_t>(lineStart + static_cast<int64_t>(column));
    }
}

void CFirmwareFile::SeekToData()
{
    const int32_t p = FindText(kDataSection);
    if (p < 0)
        Seek(0, end);
    else
        Seek(int64_t{p} + kDataLineOffset, begin);
}

int32_t CFirmwareFile::GetDataSize()
{
    const int32_t p = FindText(kDataSection);
    const int64_t length = GetLength();
    Seek(0, end);
    if (p < 0)
        return 0;
    return static_cast<int32_t>(std::max<int64_t>(0, length - (int64_t{p} + kDataLineOffset)));
}

std::string CFirmwareFile::ReadKeyLine(const std::string& key, size_t skip)
{
    const int32_t p = FindText(key);
    if (p < 0)
        return {};
    Seek(p, begin);
    std::string line;
    if (!ReadLine(line) || line.size() <= skip)
        return {};
    return line.substr(skip);
}

std::string CFirmwareFile::GetIndex()
{
    return ReadKeyLine("INDEX=", 6);
}

std::string CFirmwareFile::GetDevice()
{
    // "DEVICE" and one separator character.
    return ReadKeyLine("DEVICE", 7);
}
