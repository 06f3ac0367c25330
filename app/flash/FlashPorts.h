#pragma once
// Which ports cvf-flash searches and updates: the ports named with -p, every
// listed port (-a, and watch mode), or one search over the first listed
// ones as the window does it; narrowed by USB identity (--match), and, with
// -a and watch mode, to USB adapters and published ports unless --any-port
// widens it again (a modem or a console UART on a bench PC is left alone).

#include "app/workflow/PortChoice.h"
#include "link/PortList.h"
#include "link/UsbInfo.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

// --match VID:PID[:SERIAL]: vendor and product as hexadecimal numbers (any
// letter case, leading zeros or not), the serial number exactly.
struct UsbMatch {
    unsigned vendor = 0;
    unsigned product = 0;
    std::optional<std::string> serial;
};
// False when text is not of that form.
bool ParseUsbMatch(const std::string& text, UsbMatch& match);
bool Matches(const UsbMatch& match, const UsbInfo& usb);

// What the plan needs to know of the machine; tests give their own.
struct PortFacts {
    std::function<std::vector<PortInfo>()> list;
    std::function<PortState(const std::string& path)> probe;
    std::function<std::optional<UsbInfo>(const std::string& path)> usb;
};

// What the plan may use.
struct PortFilter {
    std::vector<UsbMatch> match{};  // none: no USB identity asked for
    bool wideListing = false;     // -a or watch mode: every listed port, not only the first ones
    bool anyPort = false;         // --any-port: not only USB adapters and published ports
};
// Whether a listed port may be searched.
bool PortAllowed(const PortInfo& port, const std::optional<UsbInfo>& usb, const PortFilter& filter);

// One device, or one search over several ports.
struct PlannedSearch {
    std::vector<PortInfo> ports{};
    bool noDeviceCounts = true;   // whether "no device" here decides the exit status
    std::string refusedName{};    // a port named with -p that cannot be searched at all
    std::string refusedPath{};    // its device path, when it resolved to one
    PortState refusedState = PortState::Free;
    bool Refused() const { return !refusedName.empty(); }
};

struct PortPlan {
    std::vector<PlannedSearch> searches;  // in the order of the ports
    std::vector<PlannedSearch> refused;   // the named ports that cannot be searched, to say why
    std::string deniedPort;               // the first listed port refused for lack of permission
    std::string deniedPath;               // its device path
    size_t portsInOneSearch = 0;          // the default mode: how many ports its one search asks
};

// -p NAME: a port of the list by its name, or a device path (a terminal).
std::optional<PortInfo> ResolvePort(const std::string& wanted, const std::vector<PortInfo>& listed);

// The plan for a run that is not watch mode: given are the -p names in
// their order, all is -a. Named ports: one search over the free ones, or
// with -a one device each (a refused one keeping its place). Otherwise
// the listed ports the filter allows: with -a one device each (those
// that do not answer count only when no device was found at all), or one
// search over the first seven free ones.
PortPlan PlanPorts(const std::vector<std::string>& given, bool all, const PortFilter& filter, const PortFacts& facts);

// Watch mode: what identifies a port as one plugged in (or published) once:
// its name, path, inode and change time. Empty when the path is gone.
std::string WatchKey(const PortInfo& port);
