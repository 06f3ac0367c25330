#include "DeviceSim.h"

#include "link/Frame.h"
#include "link/LineSettings.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr char kEot = FRAME_TERMINATOR;
constexpr size_t kMaxInput = 65536;    // bytes without EOT before they are discarded
constexpr auto kWriteGiveUp = 1000ms;  // a reply nobody takes is dropped after this

const char* ParityName(StateParity parity)
{
    switch (parity) {
    case StateParity::None: return "none";
    case StateParity::Odd: return "odd";
    case StateParity::Even: return "even";
    case StateParity::Mark: return "mark";
    case StateParity::Space: return "space";
    }
    return "other";
}

std::string SettingsText(const termios& tio)
{
    const SerialState state = DecodeLineSettings(tio);
    std::string text = "baud=" + (state.BaudRate != 0 ? std::to_string(state.BaudRate) : std::string("other"));
    text += " data=" + std::to_string(state.ByteSize);
    text += std::string(" parity=") + ParityName(state.Parity);
    text += state.StopBits != StopBitsChoice::One ? " stop=2" : " stop=1";
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

DeviceIdentity IdentityOf(const SimOptions& options)
{
    DeviceIdentity identity;
    identity.index = options.index;
    identity.version = options.version;
    identity.aspComplete = options.aspComplete;
    identity.updateMode = options.updateMode;
    return identity;
}

}  // namespace

CDeviceSim::CDeviceSim(SimOptions options)
    : m_options(std::move(options)), m_protocol(IdentityOf(m_options)), m_faults(m_options.faults),
      m_pacer(m_options.pacing, Clock::now())
{
}

CDeviceSim::~CDeviceSim()
{
    m_publisher.Unpublish();
    if (m_master >= 0)
        close(m_master);
    if (m_slave >= 0)
        close(m_slave);
}

bool CDeviceSim::Start(std::string& error)
{
    if (!m_options.logFile.empty() && !m_log.Open(m_options.logFile, error))
        return false;
    if (!OpenTerminal(error) || !m_publisher.Publish(m_options.name, m_devicePath, m_options.portDir, error))
        return false;
    m_log.Event("port " + m_options.name + " " + m_devicePath);
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

void CDeviceSim::HangUp()
{
    m_log.Event("hang-up");
    m_publisher.Unpublish();
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
        CReplyPacer::Piece piece;
        while (m_pacer.TakeDue(now, piece)) {
            if (WriteNow(piece.bytes))
                m_protocol.ReplySent(piece.replyId);
            else
                m_protocol.ReplyLost(piece.replyId);
            now = Clock::now();
        }
        PumpStream(now);

        const Clock::time_point wake = m_pacer.NextDue();
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
            m_log.Event(std::string("poll failed: ") + std::strerror(errno));
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
        m_log.Frame("RX", m_input, "incomplete: no EOT");
    SaveImage();
    const std::string summary = ReceivedSummary(m_protocol.Totals());
    if (!summary.empty())
        std::fprintf(stderr, "cvf-devsim: %s\n", summary.c_str());
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
        m_log.Frame("RX", m_input.substr(0, 64) + "...",
                    "discarded: no EOT in " + std::to_string(m_input.size()) + " bytes");
        m_input.clear();
    }
}

void CDeviceSim::HandleFrame(const std::string& text, Clock::time_point firstByte)
{
    m_pacer.StopStream();
    ReportSettings();

    // The device has the whole frame when its last byte has arrived.
    Clock::time_point ready = m_pacer.FrameArrived(firstByte, text.size(), Clock::now());

    const Request request = m_protocol.Classify(text);
    m_log.Frame("RX", text, request.verdict);
    const Fault* fault = FireOn(m_faults, request);
    if (request.kind == Request::Kind::Line || request.kind == Request::Kind::Resend)
        ready += std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double, std::milli>(m_options.lineTimeMs));

    const Answer answer = m_protocol.Respond(request, fault);
    if (!answer.data.empty())
        m_image.Store(answer.address, answer.data);
    if (answer.saveImage)
        SaveImage();
    for (const std::string& event : answer.events)
        m_log.Event(event);
    if (answer.hangUp) {
        HangUp();
        return;
    }
    if (answer.stream)
        m_pacer.StartStream(ready);
    if (!answer.reply.empty())
        Send(answer, fault, ready);
}

void CDeviceSim::Send(const Answer& answer, const Fault* fault, Clock::time_point ready)
{
    const Delivery delivery = Deliver(answer.reply, fault);
    if (!delivery.lead.empty()) {
        m_log.Event(delivery.event);
        m_log.Frame("TX", delivery.lead, "lead");
    } else if (!delivery.bytewise && !delivery.event.empty()) {
        m_log.Event(delivery.event);
    }
    m_log.Frame("TX", delivery.bytes);
    if (delivery.bytewise)
        m_log.Event(delivery.event);
    m_pacer.Queue(delivery, ready, answer.replyId);
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
            m_log.Event(std::string("write failed: ") + std::strerror(errno));
            return false;
        }
        if (Clock::now() >= giveUp) {
            m_log.Event("reply dropped: nobody reads the port");
            return false;
        }
        pollfd pfd{m_master, POLLOUT, 0};
        poll(&pfd, 1, 20);
    }
    return true;
}

void CDeviceSim::PumpStream(Clock::time_point now)
{
    const std::string chunk = m_pacer.StreamChunk(now);
    if (chunk.empty())
        return;
    const ssize_t n = write(m_master, chunk.data(), chunk.size());
    m_pacer.ChunkWritten(now, n >= 0, n < 0 && errno == EAGAIN);
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
    m_log.Event("settings " + text);
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
    std::rename(temp.c_str(), m_options.settingsFile.c_str());
}

void CDeviceSim::SaveImage()
{
    std::string error;
    if (m_image.IsDirty() && !m_image.Save(m_options.imageFile, error))
        m_log.Event(error);
}
