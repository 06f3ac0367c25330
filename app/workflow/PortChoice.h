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
    NoPermission,  // the user may not open it (not in the group that owns it)
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
    std::string deniedPath;      // its device path
};

// What it takes to be given a port that was refused for lack of
// permission, judged from the device node the port leads to (symbolic
// links followed).
struct PortAccess {
    std::string group;      // the name of the node's group; empty when it has none or the node is gone
    bool joinable = false;  // joining that group and logging in again gives read and write access
};
// Joinable when the group has a name, is not root, may read and write the
// node, and this process is not in it already (then the group is not what
// keeps it out).
PortAccess PortAccessOf(const std::string& devicePath);

// The line that tells why the port cannot be used and what to do:
// "No permission for COM3: join group uucp, then log in again" when
// joining the node's group helps, otherwise the text that says to ask the
// administrator.
std::string NoPermissionText(const std::string& portName, const std::string& devicePath);

// Probes the first `limit` of the listed ports and keeps the free ones;
// probe tells a port's state (a test gives its own).
SearchPorts ChooseSearchPorts(const std::vector<PortInfo>& listed, size_t limit,
                              const std::function<PortState(const std::string&)>& probe = ProbePortState);
