#include "link/PortKeeper.h"

#include "link/SerialPort.h"

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

CPortKeeper::CPortKeeper(CPortKeeper&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)),
      m_settings(other.m_settings),
      m_haveLowLatency(other.m_haveLowLatency),
      m_lowLatency(other.m_lowLatency)
{
}

CPortKeeper& CPortKeeper::operator=(CPortKeeper&& other) noexcept
{
    if (this != &other) {
        Release();
        m_fd = std::exchange(other.m_fd, -1);
        m_settings = other.m_settings;
        m_haveLowLatency = other.m_haveLowLatency;
        m_lowLatency = other.m_lowLatency;
    }
    return *this;
}

bool CPortKeeper::Take(const std::string& devicePath)
{
    Release();
    const int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (tcgetattr(fd, &m_settings) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return false;
    }
    m_haveLowLatency = GetLowLatency(fd, m_lowLatency);
    m_fd = fd;
    return true;
}

void CPortKeeper::Restore()
{
    if (m_fd < 0)
        return;
    (void)ioctl(m_fd, TIOCNXCL);
    (void)tcflush(m_fd, TCIOFLUSH);
    (void)tcsetattr(m_fd, TCSANOW, &m_settings);
    if (m_haveLowLatency)
        (void)SetLowLatency(m_fd, m_lowLatency);
    Release();
}

void CPortKeeper::Release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
