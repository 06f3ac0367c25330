#include "DeviceSim.h"

#include "link/Frame.h"
#include "link/SerialPort.h"
#include "link/PortList.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr char kEot = FRAME_TERMINATOR;
constexpr size_t kMaxInput = 65536;          // bytes without EOT before they are discarded
constexpr auto kBytewiseGap = 1ms;           // least gap between bytes of a bytewise reply
constexpr auto kGarbageLead = 2ms;           // garbage and stray EOT go this much before the reply
constexpr size_t kStreamChunkPaced = 64;
constexpr size_t kStreamChunkFast = 256;
constexpr auto kStreamFastInterval = 1ms;
constexpr auto kStreamBackoff = 50ms;        // nobody reads: try again after this
constexpr auto kWriteGiveUp = 1000ms;        // a reply nobody takes is dropped after this
constexpr unsigned kBitsPerByte = 10;        // start bit, 8 data bits, stop bit
constexpr unsigned kBaudRate = 57600;

const char* const kCommands[] = {"ASP", "PSD", "EAE", "RST", "DPZ"};

std::string Escape(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '<') {
            out += static_cast<char>(c);
        } else {
            out += '<';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
            out += '>';
        }
    }
    return out;
}

std::string Frame(const std::string& body)
{
    CFrame frame(body);
    return frame.AppendChecksum();
}

// The command word of a request frame ("ASP|" plus checksum and EOT), or
// empty for anything else.
std::string CommandWord(const std::string& text)
{
    if (text.size() != 7 || text[3] != FRAME_SEPARATOR)
        return {};
    const std::string word = text.substr(0, 3);
    for (const char* command : kCommands) {
        if (word == command)
            return word;
    }
    return {};
}

bool MakeDirectory(const std::string& path)
{
    if (mkdir(path.c_str(), 0700) == 0)
        return true;
    if (errno != EEXIST)
        return false;
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeDirectories(const std::string& path)
{
    for (size_t pos = 1; pos < path.size(); ++pos) {
        if (path[pos] == '/' && !MakeDirectory(path.substr(0, pos)))
            return false;
    }
    return MakeDirectory(path);
}

std::string SettingsText(const termios& tio)
{
    static const char* const parityNames[] = {"none", "odd", "even", "mark", "space"};
    SerialState state;
    CSerialPort::DecodeLineSettings(tio, state);
    std::string text = "baud=" + (state.BaudRate != 0 ? std::to_string(state.BaudRate) : std::string("other"));
    text += " data=" + std::to_string(state.ByteSize);
    text += std::string(" parity=") + parityNames[state.Parity];
    text += state.StopBits != 0 ? " stop=2" : " stop=1";
    std::string flow;
    if (state.fOutxCtsFlow)
        flow += "rtscts";
    if (state.fOutX || state.fInX) {
        if (!flow.empty())
            flow += ',';
        flow += "xonxoff";
    }
    text += " flow=" + (flow.empty() ? std::string("none") : flow);
    return text;
}

}  // namespace

CDeviceSim::CDeviceSim(SimOptions options)
    : m_options(std::move(options)), m_start(Clock::now()), m_lineFreeAt(m_start),
      m_flash(65536, 0xFF), m_written(65536, false)
{
}

CDeviceSim::~CDeviceSim()
{
    Unpublish();
    if (m_master >= 0)
        close(m_master);
    if (m_slave >= 0)
        close(m_slave);
    if (m_log != nullptr)
        std::fclose(m_log);
}

bool CDeviceSim::Start(std::string& error)
{
    if (!m_options.logFile.empty()) {
        m_log = std::fopen(m_options.logFile.c_str(), "w");
        if (m_log == nullptr) {
            error = "cannot write " + m_options.logFile + ": " + std::strerror(errno);
            return false;
        }
    }
    if (!OpenTerminal(error) || !Publish(error))
        return false;
    Event("port " + m_options.name + " " + m_devicePath);
    return true;
}

bool CDeviceSim::OpenTerminal(std::string& error)
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (ptsname_r(m_master, name, sizeof name) != 0) {
        error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    m_devicePath = name;

    // Our own hold on the terminal side: without it the master reports a
    // hang-up whenever no client has the port open.
    m_slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (m_slave < 0) {
        error = "cannot open " + m_devicePath + ": " + std::strerror(errno);
        return false;
    }
    termios tio{};
    if (tcgetattr(m_slave, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_iflag &= ~(IXON | IXOFF | IXANY);
        tio.c_cflag &= ~(CRTSCTS | CSTOPB | PARENB);
        tio.c_cflag |= CLOCAL | CREAD | CS8;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        cfsetispeed(&tio, B57600);
        cfsetospeed(&tio, B57600);
        tcsetattr(m_slave, TCSANOW, &tio);
    }
    const int flags = fcntl(m_master, F_GETFL);
    fcntl(m_master, F_SETFL, flags | O_NONBLOCK);
    return true;
}

bool CDeviceSim::Publish(std::string& error)
{
    std::string dir = m_options.portDir;
    if (dir.empty()) {
        try {
            dir = MakePortDirectory();
        } catch (const std::system_error& e) {
            error = e.what();
            return false;
        }
    } else if (!MakeDirectories(dir)) {
        error = "cannot create " + dir + ": " + std::strerror(errno);
        return false;
    }
    m_linkPath = dir + "/" + m_options.name;

    // A running device holds the lock of its name; a link whose lock is
    // free was left behind by a device that is gone (its terminal number
    // may belong to someone else by now), so it is replaced.
    m_lockPath = dir + "/." + m_options.name + ".lock";
    m_lock = open(m_lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_lock < 0) {
        error = "cannot open " + m_lockPath + ": " + std::strerror(errno);
        return false;
    }
    if (flock(m_lock, LOCK_EX | LOCK_NB) != 0) {
        error = m_options.name + " is already published by a running device (" + m_linkPath + ")";
        close(m_lock);
        m_lock = -1;
        return false;
    }
    struct stat st {};
    if (lstat(m_linkPath.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = m_linkPath + " exists and is not a port link";
            return false;
        }
        unlink(m_linkPath.c_str());
    }
    const std::string temp = dir + "/." + m_options.name + "." + std::to_string(getpid());
    unlink(temp.c_str());
    if (symlink(m_devicePath.c_str(), temp.c_str()) != 0 ||
        rename(temp.c_str(), m_linkPath.c_str()) != 0) {
        error = "cannot publish " + m_linkPath + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    m_published = true;
    return true;
}

void CDeviceSim::Unpublish()
{
    if (m_published) {
        m_published = false;
        char target[256];
        const ssize_t n = readlink(m_linkPath.c_str(), target, sizeof target - 1);
        if (n >= 0 && std::string(target, static_cast<size_t>(n)) == m_devicePath)
            unlink(m_linkPath.c_str());
    }
    if (m_lock >= 0) {
        unlink(m_lockPath.c_str());
        close(m_lock);
        m_lock = -1;
    }
}

void CDeviceSim::HangUp()
{
    Event("hang-up");
    Unpublish();
    close(m_master);
    close(m_slave);
    m_master = m_slave = -1;
    m_hungUp = true;
}

int CDeviceSim::Run(const sigset_t& waitMask, const volatile std::sig_atomic_t& stop)
{
    char buffer[4096];
    while (stop == 0 && !m_hungUp) {
        Clock::time_point now = Clock::now();
        while (!m_pending.empty() && m_pending.front().due <= now) {
            WriteNow(m_pending.front().bytes);
            m_pending.pop_front();
            now = Clock::now();
        }
        if (m_streaming)
            PumpStream(now);

        Clock::time_point wake = Clock::time_point::max();
        if (!m_pending.empty())
            wake = m_pending.front().due;
        if (m_streaming)
            wake = std::min(wake, m_streamDue);
        timespec timeout{};
        timespec* timeoutPtr = nullptr;
        if (wake != Clock::time_point::max()) {
            const auto wait = std::max(Clock::duration::zero(), wake - Clock::now());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
            timeout.tv_nsec = static_cast<long>(ns % 1000000000);
            timeoutPtr = &timeout;
        }

        pollfd pfd{m_master, POLLIN, 0};
        const int ready = ppoll(&pfd, 1, timeoutPtr, &waitMask);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            Event(std::string("poll failed: ") + std::strerror(errno));
            return 1;
        }
        if (ready == 0)
            continue;
        if (pfd.revents & POLLIN) {
            const ssize_t n = read(m_master, buffer, sizeof buffer);
            if (n > 0) {
                OnInput(buffer, static_cast<size_t>(n));
                continue;
            }
        }
        if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            // Should not happen while we hold the terminal side ourselves;
            // if it does, do not spin on it.
            timespec pause{0, 100000000};
            nanosleep(&pause, nullptr);
        }
    }

    if (!m_input.empty())
        Log("RX", m_input, "incomplete: no EOT");
    if (m_imageDirty)
        WriteImage();
    std::fprintf(stderr, "cvf-devsim: %lu frames, %lu bad checksums, %lu block-sum errors\n",
                 m_frames, m_badChecksums, m_blockErrors);
    return 0;
}

void CDeviceSim::OnInput(const char* data, size_t count)
{
    if (m_input.empty())
        m_firstByte = Clock::now();
    m_input.append(data, count);
    size_t eot;
    while ((eot = m_input.find(kEot)) != std::string::npos) {
        const std::string text = m_input.substr(0, eot + 1);
        m_input.erase(0, eot + 1);
        const Clock::time_point first = m_firstByte;
        if (!m_input.empty())
            m_firstByte = Clock::now();
        HandleFrame(text, first);
        if (m_hungUp)
            return;
    }
    if (m_input.size() > kMaxInput) {
        Log("RX", m_input.substr(0, 64) + "...", "discarded: no EOT in " +
                                                     std::to_string(m_input.size()) + " bytes");
        m_input.clear();
    }
}

CDeviceSim::Clock::duration CDeviceSim::ByteTime() const
{
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(1000000000ull * kBitsPerByte / kBaudRate));
}

void CDeviceSim::HandleFrame(const std::string& text, Clock::time_point firstByte)
{
    ++m_frames;
    m_streaming = false;
    ReportSettings();

    // When the device has the whole frame: its last byte arrives
    // 10 bits a byte after the first at 57600 baud.
    Clock::time_point ready = Clock::now();
    if (m_options.pacing)
        ready = std::max(ready, firstByte + ByteTime() * static_cast<long>(text.size()));

    CFrame frame(text);
    const std::string word = CommandWord(text);
    if (!frame.HasValidChecksum()) {
        ++m_badChecksums;
        Log("RX", text, "bad-checksum");
        SendStatus('0', nullptr, ready);
        return;
    }
    if (!word.empty()) {
        Log("RX", text, "ok " + word);
        HandleCommand(word, FindFault(word, 0), ready);
        return;
    }
    if (!m_lastAccepted.empty() && text == m_lastAccepted) {
        // The client did not get our reply and sent the line again: it is
        // stored already, so it is acknowledged again without counting it.
        // It keeps its number, and the faults set for that number.
        Log("RX", text, "ok line " + std::to_string(m_accepted) + " repeated");
        HandleLine(text, FindFault({}, m_accepted), ready, true);
        return;
    }
    const int line = m_accepted + 1;
    Log("RX", text, "ok line " + std::to_string(line) +
                        (frame.IsBlockMarker() ? " marker" : m_blockStart ? " block-start" : " data"));
    HandleLine(text, FindFault({}, line), ready, false);
}

Fault* CDeviceSim::FindFault(const std::string& word, int line)
{
    for (Fault& fault : m_options.faults) {
        if (fault.remaining == 0)
            continue;
        const bool matches = fault.command.empty() ? (word.empty() && fault.line == line)
                                                   : (fault.command == "any" || fault.command == word);
        if (!matches)
            continue;
        if (fault.kind == FaultKind::WrongIndex && word != "PSD")
            continue;
        if ((fault.kind == FaultKind::NoVersion || fault.kind == FaultKind::FfVersion) &&
            word != "EAE")
            continue;
        if (fault.remaining > 0)
            --fault.remaining;
        return &fault;
    }
    return nullptr;
}

void CDeviceSim::ResetSession()
{
    m_accepted = 0;
    m_blockStart = true;
    m_blockOpen = false;
    m_blockSum = 0;
    m_lastAccepted.clear();
    m_lastStatus = 0;
}

bool CDeviceSim::AnswerInsteadOf(const Fault* fault, Clock::time_point ready)
{
    if (fault == nullptr)
        return false;
    switch (fault->kind) {
    case FaultKind::Silence:
        Event("fault silence");
        return true;
    case FaultKind::Reject:
        SendStatus('0', nullptr, ready);
        return true;
    case FaultKind::Flash:
        SendStatus('2', nullptr, ready);
        return true;
    case FaultKind::Complete:
        if (m_imageDirty)
            WriteImage();
        SendStatus('\xCF', nullptr, ready);
        return true;
    case FaultKind::Stream:
        Event("fault stream");
        m_streaming = true;
        m_streamDue = ready;
        return true;
    case FaultKind::Hangup:
        HangUp();
        return true;
    default:
        return false;
    }
}

void CDeviceSim::HandleCommand(const std::string& word, Fault* fault, Clock::time_point ready)
{
    ResetSession();
    if (m_imageDirty)
        WriteImage();
    if (word == "ASP" && !m_options.updateMode) {
        Event("ASP unanswered: not in update mode");
        return;
    }
    if (AnswerInsteadOf(fault, ready))
        return;
    if (word == "ASP") {
        SendStatus(m_options.aspComplete ? '\xCF' : '0', fault, ready);
    } else if (word == "PSD") {
        std::string index = m_options.index;
        if (fault != nullptr && fault->kind == FaultKind::WrongIndex)
            index += '#';
        SendReply(Frame("DEV|" + index + "|"), fault, ready);
    } else if (word == "EAE") {
        std::string version = m_options.version;
        if (fault != nullptr && fault->kind == FaultKind::NoVersion)
            version.clear();
        if (fault != nullptr && fault->kind == FaultKind::FfVersion)
            version += '\xFF';
        SendReply(Frame("DEV|" + version + "|"), fault, ready);
    } else {
        Event(word == "RST" ? "restart" : "abort (DPZ)");
        SendStatus('A', fault, ready);
    }
}

void CDeviceSim::HandleLine(const std::string& text, Fault* fault, Clock::time_point ready,
                            bool repeated)
{
    ready += std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(m_options.lineTimeMs));
    if (AnswerInsteadOf(fault, ready))
        return;

    if (repeated) {
        SendStatus(m_lastStatus, fault, ready);
        return;
    }

    const CFrame frame(text);
    char status = 'A';
    if (frame.IsBlockMarker()) {
        if (m_blockOpen && m_blockSum != m_blockExpected) {
            ++m_blockErrors;
            char note[96];
            std::snprintf(note, sizeof note, "block-sum-error expected %04X got %04X",
                          m_blockExpected, m_blockSum);
            Event(note);
            status = '2';
        } else {
            status = '3';
        }
        m_blockOpen = false;
        m_blockStart = true;
        if (m_imageDirty)
            WriteImage();
    } else {
        const bool start = m_blockStart;
        if (start) {
            m_blockExpected = static_cast<uint16_t>(frame.GetBlockSum());
            m_blockSum = 0;
            m_blockOpen = true;
            m_blockStart = false;
        }
        m_blockSum = static_cast<uint16_t>(m_blockSum + frame.GetDataSum(start));
        const std::string data = frame.GetDataText(start);
        uint16_t address = frame.GetAddress(start);
        for (size_t i = 0; i + 1 < data.size(); i += 2, ++address) {
            m_flash[address] = static_cast<uint8_t>(CFrame::HexValue(data.substr(i, 2)));
            m_written[address] = true;
        }
        m_imageDirty = true;
    }
    if (status != '2') {
        ++m_accepted;
        m_lastAccepted = text;
        m_lastStatus = status;
    }
    SendStatus(status, fault, ready);
}

void CDeviceSim::SendStatus(char status, const Fault* fault, Clock::time_point ready)
{
    SendReply(Frame(std::string("DEV|") + status + "|"), fault, ready);
}

void CDeviceSim::SendReply(std::string reply, const Fault* fault, Clock::time_point ready)
{
    const FaultKind kind = fault != nullptr ? fault->kind : FaultKind::Silence;
    const bool active = fault != nullptr;
    if (active && kind == FaultKind::BadSum) {
        // Keep the layout, spoil the sum.
        const std::string body = reply.substr(0, reply.size() - 3);
        const std::string sum = CFrame::ChecksumText(body + "\x01");
        reply = body + sum + kEot;
        Event("fault badsum");
    }
    if (active && (kind == FaultKind::Garbage || kind == FaultKind::StrayEot)) {
        const std::string lead = kind == FaultKind::Garbage ? "#GARBAGE#" : std::string(1, kEot);
        Event(kind == FaultKind::Garbage ? "fault garbage" : "fault eot");
        Log("TX", lead, "lead");
        Schedule(ready, lead);
        ready += kGarbageLead;
    }
    if (active && kind == FaultKind::Trailing) {
        Event("fault trailing");
        reply += Frame("DEV|2|");
    }
    Log("TX", reply);
    if (active && kind == FaultKind::Bytewise) {
        Event("fault bytewise");
        const Clock::duration gap = std::max<Clock::duration>(
            m_options.pacing ? ByteTime() : Clock::duration::zero(), kBytewiseGap);
        Clock::time_point at = std::max(ready, m_lineFreeAt);
        for (char c : reply) {
            at += gap;
            m_pending.push_back({at, std::string(1, c)});
        }
        m_lineFreeAt = at;
        return;
    }
    Schedule(ready, reply);
}

void CDeviceSim::Schedule(Clock::time_point start, const std::string& bytes)
{
    // The line sends one thing after another; with pacing the bytes arrive
    // in one piece when the last of them would have arrived.
    Clock::time_point due = std::max(start, m_lineFreeAt);
    if (m_options.pacing)
        due += ByteTime() * static_cast<long>(bytes.size());
    m_lineFreeAt = due;
    m_pending.push_back({due, bytes});
}

bool CDeviceSim::WriteNow(const std::string& bytes)
{
    size_t done = 0;
    const Clock::time_point giveUp = Clock::now() + kWriteGiveUp;
    while (done < bytes.size()) {
        const ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            Event(std::string("write failed: ") + std::strerror(errno));
            return false;
        }
        if (Clock::now() >= giveUp) {
            Event("reply dropped: nobody reads the port");
            return false;
        }
        pollfd pfd{m_master, POLLOUT, 0};
        poll(&pfd, 1, 20);
    }
    return true;
}

void CDeviceSim::PumpStream(Clock::time_point now)
{
    if (now < m_streamDue)
        return;
    const size_t size = m_options.pacing ? kStreamChunkPaced : kStreamChunkFast;
    const std::string chunk(size, 'U');
    const ssize_t n = write(m_master, chunk.data(), chunk.size());
    if (n < 0 && errno == EAGAIN) {
        m_streamDue = now + kStreamBackoff;
        return;
    }
    if (n < 0) {
        m_streaming = false;
        return;
    }
    m_streamDue = now + (m_options.pacing ? ByteTime() * static_cast<long>(size)
                                          : Clock::duration(kStreamFastInterval));
}

void CDeviceSim::ReportSettings()
{
    if (m_options.settingsFile.empty())
        return;
    termios tio{};
    if (tcgetattr(m_master, &tio) != 0)
        return;
    const std::string text = SettingsText(tio);
    if (text == m_lastSettings)
        return;
    m_lastSettings = text;
    Event("settings " + text);
    if (m_options.settingsFile == "-") {
        std::printf("settings %s\n", text.c_str());
        std::fflush(stdout);
        return;
    }
    const std::string temp = m_options.settingsFile + ".tmp";
    FILE* file = std::fopen(temp.c_str(), "w");
    if (file == nullptr)
        return;
    std::fprintf(file, "%s\n", text.c_str());
    std::fclose(file);
    rename(temp.c_str(), m_options.settingsFile.c_str());
}

void CDeviceSim::WriteImage()
{
    m_imageDirty = false;
    if (m_options.imageFile.empty())
        return;
    const std::string temp = m_options.imageFile + ".tmp";
    FILE* file = std::fopen(temp.c_str(), "w");
    if (file == nullptr) {
        Event("cannot write " + temp + ": " + std::strerror(errno));
        return;
    }
    size_t address = 0;
    while (address < m_written.size()) {
        if (!m_written[address]) {
            ++address;
            continue;
        }
        std::fprintf(file, "%04zX ", address);
        for (int n = 0; n < 16 && address < m_written.size() && m_written[address]; ++n, ++address)
            std::fprintf(file, "%02X", m_flash[address]);
        std::fputc('\n', file);
    }
    std::fclose(file);
    rename(temp.c_str(), m_options.imageFile.c_str());
}

void CDeviceSim::Log(const char* what, const std::string& text, const std::string& note)
{
    if (m_log == nullptr)
        return;
    const double seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
    std::fprintf(m_log, "%11.6f %s %s%s%s\n", seconds, what, Escape(text).c_str(),
                 note.empty() ? "" : " ", note.c_str());
    std::fflush(m_log);
}

void CDeviceSim::Event(const std::string& text)
{
    if (m_log == nullptr)
        return;
    const double seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
    std::fprintf(m_log, "%11.6f -- %s\n", seconds, text.c_str());
    std::fflush(m_log);
}
