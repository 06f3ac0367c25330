#pragma once
// Command line of the simulated device.

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

struct SimOptions {
    std::string name;
    std::string index = "CVF-DEMO-0001";
    std::string version = "SIM-1.00SIM-1.00";
    std::string portDir;          // empty: the per-user port directory (PortDirectory)
    std::string logFile;
    std::string imageFile;
    std::string settingsFile;     // "-" for standard output
    bool aspComplete = false;     // ASP answered with 0xCF instead of "0"
    bool updateMode = true;       // false: ASP stays unanswered
    bool pacing = true;
    double lineTimeMs = 0.0;
    std::vector<Fault> faults;
};

// Parses argv. Returns 0 to run, 1 after --help (already printed), 2 on a
// usage error (message in error).
int ParseOptions(int argc, char** argv, SimOptions& options, std::string& error);

// Turns \xHH, \\ and \t escapes into bytes; anything else stays as written.
std::string DecodeEscapes(const std::string& text);

// Parses one --fault argument: KIND:WHERE[:COUNT].
bool ParseFault(const std::string& text, Fault& fault, std::string& error);

extern const char* const kHelpText;
