#pragma once
// A device in update mode on the master side of a pseudo-terminal. One
// thread: a poll loop that reads request frames, answers them through the
// protocol (Protocol.h) on the pacer's schedule (Pacing.h) and never
// spins. The terminal side is published as a port (link/PortPublisher.h).

#include "FlashImage.h"
#include "Log.h"
#include "Options.h"
#include "Pacing.h"
#include "Protocol.h"

#include "link/PortPublisher.h"

#include <chrono>
#include <csignal>
#include <string>

class CDeviceSim {
public:
    using Clock = std::chrono::steady_clock;

    explicit CDeviceSim(SimOptions options);
    ~CDeviceSim();
    CDeviceSim(const CDeviceSim&) = delete;
    CDeviceSim& operator=(const CDeviceSim&) = delete;

    // Opens the pseudo-terminal, the log, and publishes the port.
    bool Start(std::string& error);
    // Serves until stop becomes non-zero (checked whenever a signal in
    // waitMask's complement arrives) or the device hangs up. Returns the
    // exit status.
    int Run(const sigset_t& waitMask, const volatile std::sig_atomic_t& stop);
    const std::string& DevicePath() const { return m_devicePath; }

private:
    bool OpenTerminal(std::string& error);
    void HangUp();

    void OnInput(const char* data, size_t count);
    void HandleFrame(const std::string& text, Clock::time_point firstByte);
    void Send(const Answer& answer, const Fault* fault, Clock::time_point ready);
    bool WriteNow(const std::string& bytes);
    void PumpStream(Clock::time_point now);

    void ReportSettings();
    void SaveImage();

    SimOptions m_options;
    CSimLog m_log;
    CDeviceProtocol m_protocol;
    CFaultTable m_faults;
    CReplyPacer m_pacer;
    CFlashImage m_image;
    CPortPublisher m_publisher;

    int m_master = -1;
    int m_slave = -1;
    std::string m_devicePath;
    bool m_hungUp = false;

    // Input assembly.
    std::string m_input;
    Clock::time_point m_firstByte;

    std::string m_lastSettings;
};
