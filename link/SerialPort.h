#pragma once
// A serial port over POSIX termios. Every failing call throws
// CSerialException carrying errno. Reads never block; WaitForInput blocks
// in poll() until bytes arrive, the time runs out, or the line hangs up.
// Write and Flush take a time limit, and Close discards what is still
// queued for the line, so a device that stops taking bytes holds nobody.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include <termios.h>

// Purge flags. Nothing is ever in flight (all I/O here is synchronous), so
// the two ABORT flags do nothing; they are kept for callers that pass them.
inline constexpr uint32_t PURGE_TXABORT = 0x0001;
inline constexpr uint32_t PURGE_RXABORT = 0x0002;
inline constexpr uint32_t PURGE_TXCLEAR = 0x0004;
inline constexpr uint32_t PURGE_RXCLEAR = 0x0008;

// Line-setting choices of Open.
enum ParityChoice { ParityEven = 0, ParityMark = 1, ParityNone = 2, ParityOdd = 3, ParitySpace = 4 };
enum StopBitsChoice { StopBitsOne = 0, StopBitsOneAndHalf = 1, StopBitsTwo = 2 };
enum FlowControlChoice {
    FlowNone = 0, FlowCtsRts = 1, FlowCtsDtr = 2, FlowDsrRts = 3, FlowDsrDtr = 4, FlowXonXoff = 5
};

class CSerialException : public std::exception {
public:
    explicit CSerialException(int error);
    // The system's text for m_error.
    std::string GetErrorMessage() const;
    const char* what() const noexcept override { return m_message.c_str(); }

    int m_error;

private:
    std::string m_message;
};

// Throws CSerialException with code, or with errno when code is 0.
[[noreturn]] void ThrowSerialException(int code = 0);

// The port's line settings, read from and written to termios. Nothing in
// the tool reads or sets them this way (Open sets the line); GetState and
// SetState are kept for callers that want the fields.
struct SerialState {
    uint32_t BaudRate = 0;
    uint8_t ByteSize = 8;       // 5..8
    uint8_t Parity = 0;         // NOPARITY 0, ODDPARITY 1, EVENPARITY 2, MARKPARITY 3, SPACEPARITY 4
    uint8_t StopBits = 0;       // ONESTOPBIT 0, ONE5STOPBITS 1, TWOSTOPBITS 2
    bool fOutxCtsFlow = false;  // hardware flow control (CRTSCTS)
    bool fOutxDsrFlow = false;  // no termios counterpart; kept for the caller
    bool fOutX = false;         // XON/XOFF on output (IXON)
    bool fInX = false;          // XON/XOFF on input (IXOFF)
    char XonChar = 0x11;
    char XoffChar = 0x13;
    termios tio{};              // the full termios the state was read from
};

// Only the two write fields act: they bound Write (see there). The read
// fields are kept for the caller and do nothing: reads return at once
// whatever they are set to, and WaitForInput takes its own time.
struct SerialTimeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};

// The driver's low-latency mode (USB adapters otherwise hold input back for
// up to 16 ms). Get: false when the driver does not know the request. Set:
// true when the flag was changed; drivers that do not know the request are
// left alone.
bool GetLowLatency(int fd, bool& on);
bool SetLowLatency(int fd, bool on);

// Extra time Flush() allows beyond what the queued bytes need on the line.
inline constexpr double FLUSH_MARGIN_MS = 100.0;

// UUCP lock files. Terminal programs mark a port they use with a file
// LCK..<name> in a lock directory holding their pid, in ASCII (most) or as
// a 4-byte binary number (some old ones). A port with such a file whose pid
// is alive counts as held; a file with a dead or unreadable pid is ignored
// (and left where it is). Nothing here writes lock files.
//
// <name> is the last component of the device path: /dev/ttyUSB0 gives
// LCK..ttyUSB0, /dev/pts/3 gives LCK..3. For a path through a symbolic
// link the names of both the link and the device it leads to count.
std::string UucpLockName(std::string_view devicePath);
// Where lock files are looked for; {"/run/lock", "/var/lock"} unless set.
std::vector<std::string> GetUucpLockDirectories();
void SetUucpLockDirectories(std::vector<std::string> directories);
// Whether a live lock file in those directories names the port (which
// must exist: a missing path is never locked).
bool IsUucpLocked(const std::string& devicePath);

class CSerialPort {
public:
    CSerialPort() = default;
    ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Opens the device node exclusively in raw mode with the given line
    // settings and empties both buffers. A choice outside its table leaves
    // that setting as the port had it. A port already open is closed first.
    // A failure throws and leaves the object closed and the line as it was
    // (EBUSY: another opener holds the port, by the lock, by the terminal's
    // exclusive mode, which root would otherwise get through, or by a live
    // UUCP lock file, which is checked before the device is opened at all;
    // EINVAL: a rate or number of data bits the line cannot have).
    // `overlapped` does nothing: it is only stored in m_overlapped.
    void Open(const std::string& devicePath, uint32_t baudRate, int parity, uint8_t dataBits,
              int stopBits, int flowControl, bool overlapped = false);
    // Discards output still queued for the line (so the close never waits
    // for a device that stopped taking it), restores the settings the port
    // had, clears the exclusive mode Open set, and closes it; nothing when
    // closed.
    void Close();
    bool IsOpen() const { return m_handle >= 0; }

    // Returns at once with what has arrived (possibly 0 bytes). A hung-up
    // line throws (EIO).
    size_t Read(void* buffer, size_t count);
    // Writes everything; returns the number of bytes written, fewer only
    // when the write time-outs (multiplier x count + constant ms, both 0:
    // no limit) run out.
    size_t Write(const void* buffer, size_t count);
    // The same within at most `milliseconds` (and the write time-outs, when
    // set): what fits at once is always written, then the call waits for
    // room only as long as the limit allows. Returns the bytes written.
    size_t Write(const void* buffer, size_t count, double milliseconds);
    // Blocks until input is available (true) or milliseconds pass (false).
    // A hang-up or line error throws.
    bool WaitForInput(double milliseconds);

    // Every call below, and Read, Write and WaitForInput, throws EBADF on a
    // closed port.
    void GetState(SerialState& state);
    // Applies the fields (not state.tio) to the port's current settings.
    void SetState(const SerialState& state);
    void GetTimeouts(SerialTimeouts& timeouts);
    void SetTimeouts(const SerialTimeouts& timeouts);
    // The event mask is only stored: nothing here waits on line events.
    void SetMask(uint32_t mask);
    uint32_t GetMask() const { return m_mask; }
    // Waits until the driver's output queue is empty, at most
    // `milliseconds`; output still queued then (a device that stopped
    // taking bytes) throws ETIMEDOUT.
    void Flush(double milliseconds);
    // Flush with the time the queued bytes need at the line's rate, twice
    // over, plus FLUSH_MARGIN_MS.
    void Flush();
    void Purge(uint32_t flags);  // PURGE_TXCLEAR / PURGE_RXCLEAR empty the buffers
    void ClearWriteBuffer();
    void ClearReadBuffer();

    // 0 the port exists and is free, 1 it does not exist, 2 it exists but
    // cannot be had (held by another program, or no permission), -1 any
    // other error. Never throws. A port with a live UUCP lock file is held
    // (2, EBUSY) and is not opened.
    static int ProbePort(const std::string& devicePath);
    // The same, also giving the reason in osError: errno of the failed
    // call (EACCES: no permission; EBUSY or EWOULDBLOCK: held by another
    // program), 0 for a free port.
    static int ProbePort(const std::string& devicePath, int* osError);

    // The termios Open applies: `current` in raw mode with the given rate,
    // data bits and choices (a choice outside its table keeps the value in
    // `current`). Throws CSerialException(EINVAL) for a rate or a number of
    // data bits the line cannot have. Pseudo-terminals force 8 bits and no
    // parity, so this is where the tables can be seen whole.
    static termios MakeLineSettings(const termios& current, uint32_t baudRate, int parity, uint8_t dataBits,
                                    int stopBits, int flowControl);
    // Fills the fields of `state` from tio (fOutxDsrFlow false).
    static void DecodeLineSettings(const termios& tio, SerialState& state);

    int m_handle = -1;
    bool m_overlapped = false;  // as Open was given it; I/O is never overlapped

private:
    void CheckOpen() const;  // throws EBADF when closed

    SerialTimeouts m_timeouts;
    uint32_t m_mask = 0;
    termios m_saved{};
    bool m_haveSaved = false;
    bool m_lowLatencySet = false;  // Open switched the driver to low latency
    bool m_exclusiveSet = false;   // Open put the terminal in exclusive mode
    bool m_dsrFlow = false;  // DSR flow chosen; termios cannot express it
};
