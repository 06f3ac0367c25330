#pragma once
// Which of the listed serial ports can be used at this moment. The main
// window's search and the command-line updater choose their ports by this
// one rule.

#include "link/PortList.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

enum class PortState {
    Free,          // opens, and nobody else holds it
    Busy,          // another program holds it (lock, exclusive mode, UUCP lock file)
    NoPermission,  // the user may not open it (not in group dialout)
    Missing,       // the device node is gone
    Unusable,      // any other failure, or not a terminal
};

// Opens the port for a moment (CSerialPort::ProbePort) and tells what it
// found; the port is closed again at once.
PortState ProbePortState(const std::string& devicePath);

// The state's name as the command line writes it in JSON: free, busy,
// no_permission, missing, unusable.
const char* PortStateName(PortState state);

// Ports one listing offers a search (the first seven, COM0 to COM6).
inline constexpr size_t SEARCH_PORT_LIMIT = 7;

struct SearchPorts {
    std::vector<PortInfo> free;  // the free ones, in listing order
    std::string deniedPort;      // the first port refused for lack of permission, if any
};

// Probes the first `limit` of the listed ports and keeps the free ones;
// probe tells a port's state (a test gives its own).
SearchPorts ChooseSearchPorts(const std::vector<PortInfo>& listed, size_t limit,
                              const std::function<PortState(const std::string&)>& probe = ProbePortState);
