#pragma once
// Command line of the simulated device.

#include "Faults.h"

#include <string>
#include <vector>

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
    std::string publishPath;      // --publish: publish this device instead of simulating one
};

// Parses argv. Returns 0 to run, 1 after --help (already printed), 2 on a
// usage error (message in error).
int ParseOptions(int argc, char** argv, SimOptions& options, std::string& error);

// Turns \xHH, \\ and \t escapes into bytes; anything else stays as written.
std::string DecodeEscapes(const std::string& text);

extern const char* const kHelpText;
