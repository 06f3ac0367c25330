#include "link/SerialPort.h"

#include "link/UucpLock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Waits in poll() for events on fd for at most `milliseconds` (a negative
// value waits without limit). Returns revents, 0 on time-out. EINTR is
// retried with the time still left.
short PollFor(int fd, short events, double milliseconds)
{
    using clock = std::chrono::steady_clock;
    const bool unlimited = milliseconds < 0;
    if (!(milliseconds >= 0) && !unlimited)
        milliseconds = 0;  // NaN
    const double cappedMs = std::min(milliseconds, 1e12);  // about 30 years
    const auto deadline = clock::now() + std::chrono::nanoseconds(
        static_cast<int64_t>(unlimited ? 0.0 : cappedMs * 1e6));
    for (;;) {
        pollfd pfd{fd, events, 0};
        timespec ts{};
        timespec* tsp = nullptr;
        if (!unlimited) {
            auto left = deadline - clock::now();
            if (left < clock::duration::zero())
                left = clock::duration::zero();
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            ts.tv_sec = static_cast<time_t>(ns / 1000000000);
            ts.tv_nsec = static_cast<long>(ns % 1000000000);
            tsp = &ts;
        }
        const int r = ppoll(&pfd, 1, tsp, nullptr);
        if (r > 0)
            return pfd.revents;
        if (r == 0)
            return 0;
        if (errno != EINTR)
            ThrowSerialException();
    }
}

// A hang-up or a line error reported by poll() ends the port's use.
void ThrowOnHangup(short revents)
{
    if (revents & POLLNVAL)
        ThrowSerialException(EBADF);
    if (revents & (POLLHUP | POLLERR))
        ThrowSerialException(EIO);
}

// Bytes the driver still holds for the line; -1 when it cannot say.
int OutputQueued(int fd)
{
    int queued = 0;
    return ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : -1;
}

}  // namespace

bool GetLowLatency(int fd, bool& on)
{
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0)
        return false;
    on = (ss.flags & ASYNC_LOW_LATENCY) != 0;
    return true;
}

bool SetLowLatency(int fd, bool on)
{
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0)
        return false;
    if (((ss.flags & ASYNC_LOW_LATENCY) != 0) == on)
        return false;
    ss.flags = on ? (ss.flags | ASYNC_LOW_LATENCY) : (ss.flags & ~ASYNC_LOW_LATENCY);
    return ioctl(fd, TIOCSSERIAL, &ss) == 0;
}

// ---------------------------------------------------------------------------

CSerialPort::~CSerialPort()
{
    Close();
}

void CSerialPort::Open(const std::string& devicePath, uint32_t baudRate, ParityChoice parity, uint8_t dataBits,
                       StopBitsChoice stopBits, FlowControlChoice flowControl, bool overlapped)
{
    // A second Open must not lose the descriptor of the first.
    Close();

    // Before open(), which may already change the modem lines.
    if (IsUucpLocked(devicePath))
        ThrowSerialException(EBUSY);
    const int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        ThrowSerialException();

    bool exclusive = false;
    bool changed = false;
    bool lowLatency = false;
    termios saved{};
    try {
        // The lock keeps out every cooperating opener, root included, and a
        // port in another program's exclusive mode is refused as well.
        if (const int error = ClaimPort(fd); error != 0)
            ThrowSerialException(error == EWOULDBLOCK ? EBUSY : error);
        // TIOCEXCL keeps out openers that take no lock.
        if (ioctl(fd, TIOCEXCL) != 0)
            ThrowSerialException();
        exclusive = true;
        if (tcgetattr(fd, &saved) != 0)
            ThrowSerialException();

        const termios tio = MakeLineSettings(saved, baudRate, parity, dataBits, stopBits, flowControl);
        const bool dsrFlow =
            flowControl == FlowControlChoice::DsrRts || flowControl == FlowControlChoice::DsrDtr;

        changed = true;
        if (tcsetattr(fd, TCSANOW, &tio) != 0)
            ThrowSerialException();

        // Low latency for as long as we hold the port (Close switches it
        // back); a driver that refuses stays as it is.
        lowLatency = SetLowLatency(fd, true);

        if (tcflush(fd, TCIOFLUSH) != 0)
            ThrowSerialException();

        m_dsrFlow = dsrFlow;
    } catch (...) {
        // Leave the port as it was found and the object closed.
        const int saveErrno = errno;
        if (lowLatency)
            (void)SetLowLatency(fd, false);
        if (changed)
            (void)tcsetattr(fd, TCSANOW, &saved);
        if (exclusive)
            (void)ioctl(fd, TIOCNXCL);
        ::close(fd);
        errno = saveErrno;
        throw;
    }

    m_handle = fd;
    m_overlapped = overlapped;
    m_saved = saved;
    m_haveSaved = true;
    m_lowLatencySet = lowLatency;
    m_exclusiveSet = exclusive;
}

void CSerialPort::Close()
{
    if (m_handle < 0)
        return;
    // The exclusive flag belongs to the tty, not to this descriptor: on a
    // pseudo-terminal it would otherwise outlast us. Only a flag this port
    // set is cleared.
    if (m_exclusiveSet)
        (void)ioctl(m_handle, TIOCNXCL);
    // close() would wait for queued output (up to the driver's closing
    // wait, 30 s by default); a device that stopped taking it would hold
    // us that long.
    if (OutputQueued(m_handle) != 0)
        (void)tcflush(m_handle, TCOFLUSH);
    if (m_lowLatencySet)
        (void)SetLowLatency(m_handle, false);
    if (m_haveSaved)
        (void)tcsetattr(m_handle, TCSANOW, &m_saved);
    ::close(m_handle);  // also releases the flock
    m_handle = -1;
    m_overlapped = false;
    m_haveSaved = false;
    m_lowLatencySet = false;
    m_exclusiveSet = false;
    m_dsrFlow = false;
}

void CSerialPort::CheckOpen() const
{
    if (m_handle < 0)
        ThrowSerialException(EBADF);
}

size_t CSerialPort::Read(void* buffer, size_t count)
{
    CheckOpen();
    // With VMIN = VTIME = 0 a tty read returns 0 both when nothing has
    // arrived and after a hang-up; poll() tells the two apart.
    pollfd pfd{m_handle, POLLIN, 0};
    int r;
    do {
        r = ::poll(&pfd, 1, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0)
        ThrowSerialException();
    if (pfd.revents & POLLNVAL)
        ThrowSerialException(EBADF);
    const bool hangup = (pfd.revents & (POLLHUP | POLLERR)) != 0;
    if (count == 0) {
        if (hangup)
            ThrowSerialException(EIO);
        return 0;
    }
    for (;;) {
        const ssize_t n = ::read(m_handle, buffer, count);
        if (n > 0)
            return static_cast<size_t>(n);  // data first; a hang-up shows on the next call
        if (n == 0) {
            if (hangup || (pfd.revents & POLLIN))
                ThrowSerialException(EIO);
            return 0;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (hangup)
                ThrowSerialException(EIO);
            return 0;
        }
        ThrowSerialException();
    }
}

size_t CSerialPort::Write(const void* buffer, size_t count)
{
    return Write(buffer, count, -1.0);
}

size_t CSerialPort::Write(const void* buffer, size_t count, double milliseconds)
{
    CheckOpen();
    using clock = std::chrono::steady_clock;
    // The write time-outs bound the whole call (0 and 0: no limit), and so
    // does the caller's limit (negative: none); what was written when the
    // time runs out is reported.
    const uint64_t timeoutsMs = static_cast<uint64_t>(m_timeouts.WriteTotalTimeoutMultiplier) * count +
                                m_timeouts.WriteTotalTimeoutConstant;
    double limitMs = timeoutsMs != 0 ? static_cast<double>(timeoutsMs) : -1.0;
    if (!(milliseconds < 0))  // NaN counts as 0
        limitMs = limitMs < 0 ? std::max(milliseconds, 0.0) : std::min(limitMs, std::max(milliseconds, 0.0));
    const auto started = clock::now();
    const auto* p = static_cast<const unsigned char*>(buffer);
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(m_handle, p + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            ThrowSerialException();
        // Output buffer full: wait until it takes more.
        double waitMs = -1;
        if (limitMs >= 0) {
            const double spent =
                std::chrono::duration<double, std::milli>(clock::now() - started).count();
            waitMs = limitMs - spent;
            if (waitMs <= 0)
                break;
        }
        const short rev = PollFor(m_handle, POLLOUT, waitMs);
        ThrowOnHangup(rev);
        if (rev == 0)
            break;  // time-out
    }
    return done;
}

bool CSerialPort::WaitForInput(double milliseconds)
{
    CheckOpen();
    if (!(milliseconds > 0))
        milliseconds = 0;
    const short rev = PollFor(m_handle, POLLIN, milliseconds);
    ThrowOnHangup(rev);
    return (rev & POLLIN) != 0;
}

void CSerialPort::Flush(double milliseconds)
{
    CheckOpen();
    // tcdrain() has no limit, so the driver's queue is watched instead.
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::duration_cast<clock::duration>(
        std::chrono::duration<double, std::milli>(milliseconds > 0 ? std::min(milliseconds, 1e9) : 0.0));
    for (;;) {
        int queued = 0;
        if (ioctl(m_handle, TIOCOUTQ, &queued) != 0)
            ThrowSerialException();
        if (queued <= 0)
            return;
        if (clock::now() >= deadline)
            ThrowSerialException(ETIMEDOUT);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void CSerialPort::Flush()
{
    CheckOpen();
    const int queued = std::max(OutputQueued(m_handle), 0);
    termios tio{};
    uint32_t baud = 0;
    if (tcgetattr(m_handle, &tio) == 0)
        baud = DecodeLineSettings(tio).BaudRate;
    // Start, 8 data, parity and 2 stop bits at the most: 12 bits a byte.
    const double lineMs = baud != 0 ? queued * 12 * 1000.0 / baud : 0.0;
    Flush(2 * lineMs + FLUSH_MARGIN_MS);
}

void CSerialPort::ClearWriteBuffer()
{
    CheckOpen();
    FlushBuffers(TCOFLUSH);
}

void CSerialPort::ClearReadBuffer()
{
    CheckOpen();
    FlushBuffers(TCIFLUSH);
}

void CSerialPort::FlushBuffers(int queueSelector)
{
    if (tcflush(m_handle, queueSelector) != 0)
        ThrowSerialException();
}
