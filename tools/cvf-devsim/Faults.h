#pragma once
// The faults the simulated device can be told to make: what they are,
// where they strike, how often, and what a fault does to a reply on its
// way out.

#include <string>
#include <vector>

enum class FaultKind {
    Silence,     // no reply at all
    BadSum,      // reply with a wrong checksum
    Reject,      // status "0": line not taken
    Flash,       // status "2": flash write failed
    Complete,    // status 0xCF: update complete
    Bytewise,    // reply delivered one byte at a time
    Garbage,     // bytes without separator or EOT before the reply
    StrayEot,    // an EOT before the reply
    Trailing,    // a second complete reply frame right after the reply's EOT
    Stream,      // endless bytes without EOT instead of the reply
    Hangup,      // close the pseudo-terminal and exit
    WrongIndex,  // PSD answered with an index that differs from --index
    NoVersion,   // EAE answered with an empty field
    FfVersion,   // EAE answered with the version and a 0xFF byte
};

struct Fault {
    FaultKind kind = FaultKind::Silence;
    // What the fault applies to: a command word (ASP, PSD, EAE, RST, DPZ),
    // "any" for every frame, or a firmware line number (line > 0).
    std::string command;
    int line = 0;
    int remaining = 1;  // times left to fire; -1 for every time
};

// Parses one --fault argument: KIND:WHERE[:COUNT].
bool ParseFault(const std::string& text, Fault& fault, std::string& error);

// The faults of one run, each firing as often as it was told, the first
// that fits a request winning.
class CFaultTable {
public:
    explicit CFaultTable(std::vector<Fault> faults) : m_faults(std::move(faults)) {}
    // The fault that fires on the command word (line 0) or on the firmware
    // line (word empty), counted as fired; nullptr when none does.
    const Fault* Fire(const std::string& word, int line);

private:
    std::vector<Fault> m_faults;
};

struct Request;
// The fault that fires on a classified request (a command by its word, a
// firmware line by its number; none on a frame with a bad checksum).
const Fault* FireOn(CFaultTable& faults, const Request& request);

// The host cannot read a reply sent under this fault (wrong checksum, or
// bytes before it that spoil the frame).
bool SpoilsReply(const Fault* fault);

// A reply as it goes out under a fault: a lead sent a moment before it
// (garbage, a stray EOT), the reply's own bytes (a spoiled checksum, a
// frame behind it), and whether it goes one byte at a time. Faults that do
// not change the delivery leave the reply as it is.
struct Delivery {
    std::string lead;
    std::string bytes;
    bool bytewise = false;
    std::string event;  // for the log: "fault badsum" and the like
};
Delivery Deliver(const std::string& reply, const Fault* fault);
