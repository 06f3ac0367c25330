#pragma once
// A device in update mode on the master side of a pseudo-terminal. One
// thread: a poll loop that reads request frames, answers them on a
// schedule (line pacing, flash time, faults) and never spins.

#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "Options.h"

class CDeviceSim {
public:
    using Clock = std::chrono::steady_clock;

    explicit CDeviceSim(SimOptions options);
    ~CDeviceSim();
    CDeviceSim(const CDeviceSim&) = delete;
    CDeviceSim& operator=(const CDeviceSim&) = delete;

    // Opens the pseudo-terminal, the record files, and publishes the port.
    bool Start(std::string& error);
    // Serves until stop becomes non-zero (checked whenever a signal in
    // waitMask's complement arrives) or the device hangs up. Returns the
    // exit status.
    int Run(const sigset_t& waitMask, const volatile std::sig_atomic_t& stop);
    const std::string& DevicePath() const { return m_devicePath; }
    const std::string& LinkPath() const { return m_linkPath; }

private:
    struct Pending {
        Clock::time_point due;
        std::string bytes;
    };

    bool OpenTerminal(std::string& error);
    bool Publish(std::string& error);
    void Unpublish();
    void HangUp();

    void OnInput(const char* data, size_t count);
    void HandleFrame(const std::string& text, Clock::time_point firstByte);
    // Faults that replace the reply (silence, a status of their own, an
    // endless stream, hang-up) answer here; true when one did.
    bool AnswerInsteadOf(const Fault* fault, Clock::time_point ready);
    void HandleCommand(const std::string& word, Fault* fault, Clock::time_point ready);
    void HandleLine(const std::string& text, Fault* fault, Clock::time_point ready, bool repeated);
    Fault* FindFault(const std::string& word, int line);
    void ResetSession();

    // Queues a reply that is ready to go at ready, applying the delivery
    // faults (bad checksum, garbage, stray EOT, trailing bytes, bytewise).
    void SendReply(std::string reply, const Fault* fault, Clock::time_point ready);
    void SendStatus(char status, const Fault* fault, Clock::time_point ready);
    void Schedule(Clock::time_point start, const std::string& bytes);
    bool WriteNow(const std::string& bytes);
    void PumpStream(Clock::time_point now);

    void ReportSettings();
    void WriteImage();
    void Log(const char* what, const std::string& text, const std::string& note = {});
    void Event(const std::string& text);
    Clock::duration ByteTime() const;

    SimOptions m_options;
    int m_master = -1;
    int m_slave = -1;
    std::string m_devicePath;
    std::string m_linkPath;
    std::string m_lockPath;  // held while the port is published
    int m_lock = -1;
    bool m_published = false;
    bool m_hungUp = false;
    FILE* m_log = nullptr;
    Clock::time_point m_start;

    // Input assembly.
    std::string m_input;
    Clock::time_point m_firstByte;

    // Output schedule.
    std::deque<Pending> m_pending;
    Clock::time_point m_lineFreeAt;
    bool m_streaming = false;
    Clock::time_point m_streamDue;

    // Transfer state, reset by every command.
    int m_accepted = 0;          // firmware lines accepted in this transfer
    bool m_blockStart = true;    // the next data line starts a block
    bool m_blockOpen = false;
    uint16_t m_blockExpected = 0;
    uint16_t m_blockSum = 0;
    std::string m_lastAccepted;  // text of the last accepted line, for repeats
    char m_lastStatus = 0;

    // Flash image.
    std::vector<uint8_t> m_flash;
    std::vector<bool> m_written;
    bool m_imageDirty = false;

    // Totals for the closing summary.
    unsigned long m_frames = 0;
    unsigned long m_badChecksums = 0;
    unsigned long m_blockErrors = 0;

    std::string m_lastSettings;
};
