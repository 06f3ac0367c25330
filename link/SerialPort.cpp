#include "link/SerialPort.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Baud rates the termios interface can express.
struct BaudEntry {
    uint32_t rate;
    speed_t code;
};

constexpr BaudEntry kBaudTable[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool BaudToSpeed(uint32_t rate, speed_t& code)
{
    for (const auto& e : kBaudTable) {
        if (e.rate == rate) {
            code = e.code;
            return true;
        }
    }
    return false;
}

uint32_t SpeedToBaud(speed_t code)
{
    for (const auto& e : kBaudTable) {
        if (e.code == code)
            return e.rate;
    }
    return 0;
}

bool DataBitsToFlag(unsigned bits, tcflag_t& flag)
{
    switch (bits) {
    case 5: flag = CS5; return true;
    case 6: flag = CS6; return true;
    case 7: flag = CS7; return true;
    case 8: flag = CS8; return true;
    default: return false;
    }
}

void SetSpeed(termios& tio, uint32_t baudRate)
{
    speed_t code;
    if (!BaudToSpeed(baudRate, code))
        ThrowSerialException(EINVAL);
    if (cfsetispeed(&tio, code) != 0 || cfsetospeed(&tio, code) != 0)
        ThrowSerialException();
}

void SetDataBits(termios& tio, unsigned bits)
{
    tcflag_t flag;
    if (!DataBitsToFlag(bits, flag))
        ThrowSerialException(EINVAL);
    tio.c_cflag = (tio.c_cflag & ~CSIZE) | flag;
}

constexpr tcflag_t kParityBits = PARENB | PARODD | CMSPAR;

// Termios parity flags for each parity value of SerialState
// (NOPARITY 0, ODDPARITY 1, EVENPARITY 2, MARKPARITY 3, SPACEPARITY 4).
constexpr tcflag_t kParityFlags[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD, PARENB | CMSPAR};
constexpr uint8_t kParityValues = sizeof kParityFlags / sizeof kParityFlags[0];
// The parity value of each ParityChoice (even, mark, none, odd, space).
constexpr uint8_t kChoiceParity[] = {2, 3, 0, 1, 4};

void SetParity(termios& tio, uint8_t parity)
{
    tio.c_cflag = (tio.c_cflag & ~kParityBits) | kParityFlags[parity];
}

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

std::mutex g_lockDirMutex;
std::vector<std::string> g_lockDirs = {"/run/lock", "/var/lock"};

// The pid in a lock file: four bytes with a NUL among them are a binary
// pid (a pid is below 2^24, so its top byte is 0); anything else is ASCII
// digits after optional blanks, ending the file or followed by white space
// and perhaps more (the program's and the user's name). 0 when it is
// neither.
pid_t LockFilePid(const char* bytes, size_t size)
{
    if (size == sizeof(int32_t) && std::memchr(bytes, '\0', size) != nullptr) {
        int32_t binary;
        std::memcpy(&binary, bytes, sizeof binary);
        return binary > 0 ? static_cast<pid_t>(binary) : 0;
    }
    size_t i = 0;
    while (i < size && (bytes[i] == ' ' || bytes[i] == '\t'))
        ++i;
    const size_t digits = i;
    long long value = 0;
    while (i < size && bytes[i] >= '0' && bytes[i] <= '9' && value <= INT_MAX)
        value = value * 10 + (bytes[i++] - '0');
    const bool ended =
        i == size || bytes[i] == ' ' || bytes[i] == '\t' || bytes[i] == '\n' || bytes[i] == '\r';
    return i > digits && ended && value > 0 && value <= INT_MAX ? static_cast<pid_t>(value) : 0;
}

// Whether `path` is a lock file naming a live process. Lock directories
// are writable by everybody: links, pipes and other odd entries are
// ignored, and only the first few bytes are read.
bool IsLiveLockFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st{};
    char bytes[128];
    ssize_t n = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        do {
            n = ::read(fd, bytes, sizeof bytes);
        } while (n < 0 && errno == EINTR);
    }
    ::close(fd);
    if (n <= 0)
        return false;
    const pid_t pid = LockFilePid(bytes, static_cast<size_t>(n));
    // EPERM: alive, only not ours to signal.
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
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

std::string UucpLockName(std::string_view devicePath)
{
    const size_t slash = devicePath.rfind('/');
    return "LCK.." + std::string(slash == std::string_view::npos ? devicePath : devicePath.substr(slash + 1));
}

std::vector<std::string> GetUucpLockDirectories()
{
    std::lock_guard<std::mutex> guard(g_lockDirMutex);
    return g_lockDirs;
}

void SetUucpLockDirectories(std::vector<std::string> directories)
{
    std::lock_guard<std::mutex> guard(g_lockDirMutex);
    g_lockDirs = std::move(directories);
}

bool IsUucpLocked(const std::string& devicePath)
{
    // A port that is not there is missing, not held.
    char* real = realpath(devicePath.c_str(), nullptr);
    if (real == nullptr)
        return false;
    std::vector<std::string> names = {UucpLockName(devicePath)};
    const std::string resolved = UucpLockName(real);
    std::free(real);
    if (resolved != names.front())
        names.push_back(resolved);
    for (const std::string& dir : GetUucpLockDirectories()) {
        for (const std::string& name : names) {
            if (name.size() > 5 && IsLiveLockFile(dir + "/" + name))
                return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------

CSerialException::CSerialException(int error)
    : m_error(error), m_message(std::generic_category().message(error))
{
}

std::string CSerialException::GetErrorMessage() const
{
    return std::generic_category().message(m_error);
}

void ThrowSerialException(int code)
{
    if (code == 0)
        code = errno != 0 ? errno : EIO;
    throw CSerialException(code);
}

// ---------------------------------------------------------------------------

CSerialPort::~CSerialPort()
{
    Close();
}

void CSerialPort::Open(const std::string& devicePath, uint32_t baudRate, int parity, uint8_t dataBits,
                       int stopBits, int flowControl, bool overlapped)
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
        // The lock keeps out every cooperating opener, root included.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0)
            ThrowSerialException(errno == EWOULDBLOCK ? EBUSY : errno);
        // Root gets through another program's TIOCEXCL; the port is that
        // program's all the same. The flag is left exactly as it was.
        // (Kernels without TIOCGEXCL just skip this test.)
        int held = 0;
        if (ioctl(fd, TIOCGEXCL, &held) == 0 && held != 0)
            ThrowSerialException(EBUSY);
        // TIOCEXCL keeps out openers that take no lock.
        if (ioctl(fd, TIOCEXCL) != 0)
            ThrowSerialException();
        exclusive = true;
        if (tcgetattr(fd, &saved) != 0)
            ThrowSerialException();

        const termios tio = MakeLineSettings(saved, baudRate, parity, dataBits, stopBits, flowControl);
        bool dsrFlow = m_dsrFlow;
        if (flowControl >= FlowNone && flowControl <= FlowXonXoff)
            dsrFlow = flowControl == FlowDsrRts || flowControl == FlowDsrDtr;

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

termios CSerialPort::MakeLineSettings(const termios& current, uint32_t baudRate, int parity, uint8_t dataBits,
                                      int stopBits, int flowControl)
{
    termios tio = current;
    cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cflag &= ~(CRTSCTS | CSTOPB);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;

    SetSpeed(tio, baudRate);
    SetDataBits(tio, dataBits);

    if (parity >= ParityEven && parity <= ParitySpace)
        SetParity(tio, kChoiceParity[parity]);
    else
        tio.c_cflag = (tio.c_cflag & ~kParityBits) | (current.c_cflag & kParityBits);

    switch (stopBits) {
    case StopBitsOne: tio.c_cflag &= ~CSTOPB; break;
    case StopBitsOneAndHalf:  // 1.5 with 5 data bits, 2 otherwise: what a UART does with CSTOPB
    case StopBitsTwo: tio.c_cflag |= CSTOPB; break;
    default: tio.c_cflag = (tio.c_cflag & ~CSTOPB) | (current.c_cflag & CSTOPB); break;
    }

    // DSR flow has no termios counterpart: the DSR choices leave the
    // line without hardware flow control (Open remembers them).
    switch (flowControl) {
    case FlowNone:
        tio.c_cflag &= ~CRTSCTS;
        tio.c_iflag &= ~(IXON | IXOFF);
        break;
    case FlowCtsRts:
    case FlowCtsDtr:
        tio.c_cflag |= CRTSCTS;
        tio.c_iflag &= ~(IXON | IXOFF);
        break;
    case FlowDsrRts:
    case FlowDsrDtr:
        tio.c_cflag &= ~CRTSCTS;
        tio.c_iflag &= ~(IXON | IXOFF);
        break;
    case FlowXonXoff:
        tio.c_cflag &= ~CRTSCTS;
        tio.c_iflag |= IXON | IXOFF;
        tio.c_cc[VSTART] = 0x11;
        tio.c_cc[VSTOP] = 0x13;
        break;
    default:
        tio.c_cflag = (tio.c_cflag & ~CRTSCTS) | (current.c_cflag & CRTSCTS);
        tio.c_iflag = (tio.c_iflag & ~(IXON | IXOFF)) | (current.c_iflag & (IXON | IXOFF));
        break;
    }
    return tio;
}

void CSerialPort::DecodeLineSettings(const termios& tio, SerialState& state)
{
    state.tio = tio;
    state.BaudRate = SpeedToBaud(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
    case CS5: state.ByteSize = 5; break;
    case CS6: state.ByteSize = 6; break;
    case CS7: state.ByteSize = 7; break;
    default: state.ByteSize = 8; break;
    }
    state.Parity = 0;  // without PARENB the other parity bits mean nothing
    if (tio.c_cflag & PARENB) {
        for (uint8_t value = 1; value < kParityValues; ++value)
            if ((tio.c_cflag & kParityBits) == kParityFlags[value])
                state.Parity = value;
    }
    state.StopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
    state.fOutxCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
    state.fOutxDsrFlow = false;  // not kept by termios
    state.fOutX = (tio.c_iflag & IXON) != 0;
    state.fInX = (tio.c_iflag & IXOFF) != 0;
    state.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    state.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
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

void CSerialPort::GetState(SerialState& state)
{
    CheckOpen();
    termios tio{};
    if (tcgetattr(m_handle, &tio) != 0)
        ThrowSerialException();
    DecodeLineSettings(tio, state);
    state.fOutxDsrFlow = m_dsrFlow;
}

void CSerialPort::SetState(const SerialState& state)
{
    CheckOpen();
    // The fields are applied to the port's current settings; state.tio is
    // what GetState read and is not written back as a whole.
    termios tio{};
    if (tcgetattr(m_handle, &tio) != 0)
        ThrowSerialException();
    SetSpeed(tio, state.BaudRate);
    SetDataBits(tio, state.ByteSize);
    if (state.Parity >= kParityValues)
        ThrowSerialException(EINVAL);
    SetParity(tio, state.Parity);
    switch (state.StopBits) {
    case 0: tio.c_cflag &= ~CSTOPB; break;
    case 1:
    case 2: tio.c_cflag |= CSTOPB; break;
    default: ThrowSerialException(EINVAL);
    }
    if (state.fOutxCtsFlow)
        tio.c_cflag |= CRTSCTS;
    else
        tio.c_cflag &= ~CRTSCTS;
    tio.c_iflag = (tio.c_iflag & ~(IXON | IXOFF)) | (state.fOutX ? IXON : 0) | (state.fInX ? IXOFF : 0);
    tio.c_cc[VSTART] = static_cast<cc_t>(state.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(state.XoffChar);
    if (tcsetattr(m_handle, TCSANOW, &tio) != 0)
        ThrowSerialException();
    m_dsrFlow = state.fOutxDsrFlow;
}

void CSerialPort::GetTimeouts(SerialTimeouts& timeouts)
{
    CheckOpen();
    timeouts = m_timeouts;
}

void CSerialPort::SetTimeouts(const SerialTimeouts& timeouts)
{
    CheckOpen();
    m_timeouts = timeouts;
}

void CSerialPort::SetMask(uint32_t mask)
{
    CheckOpen();
    m_mask = mask;
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
        baud = SpeedToBaud(cfgetospeed(&tio));
    // Start, 8 data, parity and 2 stop bits at the most: 12 bits a byte.
    const double lineMs = baud != 0 ? queued * 12 * 1000.0 / baud : 0.0;
    Flush(2 * lineMs + FLUSH_MARGIN_MS);
}

void CSerialPort::Purge(uint32_t flags)
{
    CheckOpen();
    const bool tx = (flags & PURGE_TXCLEAR) != 0;
    const bool rx = (flags & PURGE_RXCLEAR) != 0;
    if (!tx && !rx)
        return;  // nothing is ever in flight to abort
    if (tcflush(m_handle, tx && rx ? TCIOFLUSH : tx ? TCOFLUSH : TCIFLUSH) != 0)
        ThrowSerialException();
}

void CSerialPort::ClearWriteBuffer()
{
    Purge(PURGE_TXCLEAR);
}

void CSerialPort::ClearReadBuffer()
{
    Purge(PURGE_RXCLEAR);
}

int CSerialPort::ProbePort(const std::string& devicePath)
{
    return ProbePort(devicePath, nullptr);
}

int CSerialPort::ProbePort(const std::string& devicePath, int* osError)
{
    if (osError)
        *osError = 0;
    if (IsUucpLocked(devicePath)) {
        if (osError)
            *osError = EBUSY;
        return 2;
    }
    const int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (osError)
            *osError = errno;
        switch (errno) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return 1;
        case EBUSY:
        case EACCES:
        case EPERM:
            return 2;
        default:
            return -1;
        }
    }
    int result = 0;
    if (!isatty(fd)) {
        result = -1;
        if (osError)
            *osError = ENOTTY;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (osError)
            *osError = errno;
        result = errno == EWOULDBLOCK ? 2 : -1;
    } else {
        // Root gets past TIOCEXCL; still, a port somebody holds that way is
        // not free, and Open refuses it the same way. (Kernels without
        // TIOCGEXCL just skip this test.)
        int excl = 0;
        if (ioctl(fd, TIOCGEXCL, &excl) == 0 && excl != 0) {
            result = 2;
            if (osError)
                *osError = EBUSY;
        }
    }
    ::close(fd);
    return result;
}
