#pragma once
// What the simulated device answers, as a function of the request, the
// fault that fires on it and the session (the transfer so far). No
// terminal and no clock here: each answer says what to send and what the
// device did (bytes stored, events for the log), and the caller carries
// it out.
//
// A transfer is a run of firmware lines after a command. A line equal to
// the last stored one counts as sent again (a resend) only while the host
// has not taken the reply to it: that reply was spoiled by a fault, lost,
// or not sent yet when the line came again. A resend is answered with the
// status given before and is neither stored nor summed a second time;
// any other line, equal or not, is the next line.

#include "Faults.h"

#include <cstdint>
#include <string>
#include <vector>

struct DeviceIdentity {
    std::string index = "CVF-DEMO-0001";
    std::string version = "SIM-1.00SIM-1.00";
    bool aspComplete = false;  // ASP answered with 0xCF instead of "0"
    bool updateMode = true;    // false: ASP stays unanswered
};

// A request as the device sees it, before a fault is chosen for it.
struct Request {
    enum class Kind { BadChecksum, Command, Line, Resend };
    Kind kind = Kind::BadChecksum;
    std::string text;     // the whole frame, checksum and EOT included
    std::string word;     // Command: ASP, PSD, EAE, RST or DPZ
    int line = 0;         // Line, Resend: the line's number in this transfer (from 1)
    std::string verdict;  // for the log: "bad-checksum", "ok ASP", "ok line 3 data", ...
};

struct Answer {
    std::string reply;                // the reply frame; empty: no reply
    bool stream = false;              // bytes without end instead of a reply (fault stream)
    bool hangUp = false;              // close the terminal and end (fault hangup)
    std::vector<std::string> events;  // what the device did, for the log
    uint16_t address = 0;             // data stored into the flash from address on
    std::string data;                 //   (bytes; the address wraps at 0xFFFF)
    bool saveImage = false;           // after a block, a command or the end: the image is due
    uint64_t replyId = 0;             // nonzero: the reply to a stored line, see ReplySent
};

struct DeviceTotals {
    unsigned long frames = 0;
    unsigned long badChecksums = 0;
    unsigned long blockErrors = 0;
};

class CDeviceProtocol {
public:
    explicit CDeviceProtocol(DeviceIdentity identity) : m_identity(std::move(identity)) {}

    // What the frame (everything up to and including its EOT) is.
    Request Classify(const std::string& frame) const;
    // The answer to a classified request; fault is the one that fires on
    // it, or nullptr.
    Answer Respond(const Request& request, const Fault* fault);

    // The reply of answer.replyId went out on the line whole (ReplySent),
    // or was dropped (ReplyLost).
    void ReplySent(uint64_t replyId);
    void ReplyLost(uint64_t replyId);

    const DeviceTotals& Totals() const { return m_totals; }

private:
    enum class ReplyState { Unsent, Taken, NotTaken };

    void ResetSession();
    // Faults that answer instead of the device; true when one did.
    bool AnswerInsteadOf(const Fault* fault, Answer& answer);
    void AnswerCommand(const Request& request, const Fault* fault, Answer& answer);
    void AnswerLine(const Request& request, const Fault* fault, Answer& answer);
    void AnswerResend(const Fault* fault, Answer& answer);
    // Makes answer the reply to the stored line, sent under fault.
    void ReplyToStoredLine(char status, const Fault* fault, Answer& answer);

    DeviceIdentity m_identity;
    DeviceTotals m_totals;

    // The transfer, reset by every command.
    int m_accepted = 0;        // firmware lines stored in this transfer
    bool m_blockStart = true;  // the next data line starts a block
    bool m_blockOpen = false;
    uint16_t m_blockExpected = 0;
    uint16_t m_blockSum = 0;
    std::string m_lastAccepted;  // the last stored line
    char m_lastStatus = 0;       // and the status it was given
    ReplyState m_lastReply = ReplyState::Taken;
    uint64_t m_lastReplyId = 0;
    uint64_t m_nextReplyId = 0;
};

// One sentence on what the device received, for the end of a run; empty
// when it received nothing.
std::string ReceivedSummary(const DeviceTotals& totals);

// The reply frame DEV|<status>| with checksum and EOT.
std::string StatusReply(char status);
