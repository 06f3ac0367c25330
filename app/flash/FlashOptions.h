#pragma once
// The command line of cvf-flash.

#include "app/flash/FlashPorts.h"
#include "app/workflow/DeviceSupervisor.h"

#include <optional>

#include <string>
#include <vector>

struct FlashOptions {
    std::string file;                // the firmware file; empty with --list
    std::vector<std::string> ports;  // -p, in the order given
    bool all = false;
    bool yes = false;
    bool dryRun = false;
    bool watch = false;
    bool json = false;
    bool list = false;
    bool quiet = false;
    // At a production station.
    std::string record;              // --record FILE: a JSON line per device result
    std::optional<int> expect;       // --expect N
    int retry = 0;                   // --retry N: updates again after a failed one
    int jobs = 0;                    // --jobs N: devices at once; 0: as many as there are
    std::vector<UsbMatch> match;     // --match VID:PID[:SERIAL]
    bool anyPort = false;            // --any-port
    // Where the machine's serial ports are read from; tests give an empty
    // folder, so that no port of the machine is ever opened.
    std::string sysfsRoot = "/sys";
    // How long a device process may say nothing, and how long it may take
    // to wind down after a stop request, before it is killed; tests
    // shorten them.
    int silenceLimitMs = SILENCE_LIMIT_MS;
    int windDownLimitMs = WIND_DOWN_LIMIT_MS;
};

// Exit status of a usage error or refusal.
inline constexpr int EXIT_USAGE = 1;

// Parses argv into options. Returns -1 when the program goes on; otherwise
// the exit status after the help, the version or a usage error has been
// printed (a usage error in JSON when --json was among the arguments).
int ParseFlashOptions(int argc, char** argv, FlashOptions& options);
