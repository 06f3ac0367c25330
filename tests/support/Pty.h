#pragma once
// A pseudo-terminal made by a test: the code under test opens the slave
// side as its serial port, the test plays the device on the master side.
// The slave is held open by the test too, so the master sees no hang-up
// while the port under test is closed.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace pty_detail {
using Clock = std::chrono::steady_clock;
inline double MsSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}
}  // namespace pty_detail

class Pty {
public:
    // With raw, the slave is put in raw mode at once, so that nothing sent
    // while no port has it open is echoed back to the master.
    explicit Pty(bool raw = false)
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            return;
        char name[128];
        if (ptsname_r(m_master, name, sizeof name) != 0)
            return;
        m_path = name;
        // Held by the test from the start: keeps the master from seeing a
        // hang-up and lets us read the slave's settings while the port is
        // held exclusively.
        m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio{};
        if (raw && m_slave >= 0 && tcgetattr(m_slave, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(m_slave, TCSANOW, &tio);
        }
    }
    ~Pty()
    {
        CloseMaster();
        if (m_slave >= 0)
            ::close(m_slave);
    }
    bool Ok() const { return m_master >= 0 && m_slave >= 0; }
    const std::string& Path() const { return m_path; }
    int Slave() const { return m_slave; }
    int Master() const { return m_master; }
    void CloseMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

    termios SlaveSettings() const
    {
        termios tio{};
        EXPECT_EQ(tcgetattr(m_slave, &tio), 0);
        return tio;
    }

    // The size a program on the slave side reads with TIOCGWINSZ.
    void SetSize(int columns, int lines) const
    {
        winsize size{};
        size.ws_col = static_cast<unsigned short>(columns);
        size.ws_row = static_cast<unsigned short>(lines);
        EXPECT_EQ(ioctl(m_master, TIOCSWINSZ, &size), 0);
    }

    void WriteMaster(const std::string& bytes) const
    {
        ASSERT_EQ(::write(m_master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // The next request on the master up to and including its EOT; what came
    // within `ms` when no EOT came.
    std::string ReceiveRequest(int ms = 3000) const
    {
        std::string got;
        const auto start = pty_detail::Clock::now();
        while (got.find('\x04') == std::string::npos && pty_detail::MsSince(start) < ms) {
            pollfd pfd{m_master, POLLIN, 0};
            if (::poll(&pfd, 1, 20) <= 0)
                continue;
            char c;
            if (::read(m_master, &c, 1) == 1)
                got.push_back(c);
        }
        return got;
    }

    // Everything the master receives within `ms`, up to `want` bytes.
    std::string ReadMaster(size_t want, int ms = 2000) const
    {
        std::string got;
        const auto start = pty_detail::Clock::now();
        while (got.size() < want && pty_detail::MsSince(start) < ms) {
            pollfd pfd{m_master, POLLIN, 0};
            if (::poll(&pfd, 1, 50) > 0 && (pfd.revents & POLLIN)) {
                char buf[256];
                const ssize_t n = ::read(m_master, buf, sizeof buf);
                if (n > 0)
                    got.append(buf, static_cast<size_t>(n));
            }
        }
        return got;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
};
