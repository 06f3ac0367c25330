#include "app/flash/FlashRecord.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

CRecordFile::~CRecordFile()
{
    if (m_fd >= 0)
        close(m_fd);
}

bool CRecordFile::Open(const std::string& path)
{
    m_fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    return m_fd >= 0;
}

bool CRecordFile::Append(const std::string& line)
{
    const std::string whole = line + "\n";
    ssize_t n;
    do {
        // One write: with O_APPEND the line lands whole at the end, after
        // whatever another appender wrote.
        n = write(m_fd, whole.data(), whole.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return false;
    if (static_cast<size_t>(n) != whole.size()) {
        errno = EIO;
        return false;
    }
    return fdatasync(m_fd) == 0;
}
