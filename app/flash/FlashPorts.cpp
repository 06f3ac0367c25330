#include "app/flash/FlashPorts.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <set>

#include <sys/stat.h>

namespace {

// The path with every link followed; the path itself when that fails.
std::string RealPath(const std::string& path)
{
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) ? std::string(buffer) : path;
}

// One to four hexadecimal digits.
bool ParseHex(const std::string& text, unsigned& value)
{
    if (text.empty() || text.size() > 4)
        return false;
    value = 0;
    for (const char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                       ? c - '0'
                                                       : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    return true;
}

}  // namespace

bool ParseUsbMatch(const std::string& text, UsbMatch& match)
{
    const size_t first = text.find(':');
    if (first == std::string::npos)
        return false;
    const size_t second = text.find(':', first + 1);
    const std::string product = text.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    UsbMatch parsed;
    if (!ParseHex(text.substr(0, first), parsed.vendor) || !ParseHex(product, parsed.product))
        return false;
    if (second != std::string::npos) {
        parsed.serial = text.substr(second + 1);
        if (parsed.serial->empty())
            return false;
    }
    match = parsed;
    return true;
}

bool Matches(const UsbMatch& match, const UsbInfo& usb)
{
    unsigned vendor = 0;
    unsigned product = 0;
    return ParseHex(usb.vendorId, vendor) && ParseHex(usb.productId, product) && vendor == match.vendor &&
           product == match.product && (!match.serial || *match.serial == usb.serial);
}

bool PortAllowed(const PortInfo& port, const std::optional<UsbInfo>& usb, const PortFilter& filter)
{
    if (!filter.match.empty())
        return usb && std::any_of(filter.match.begin(), filter.match.end(),
                                  [&usb](const UsbMatch& m) { return Matches(m, *usb); });
    if (filter.wideListing && !filter.anyPort)
        return usb.has_value() || port.published;
    return true;
}

std::optional<PortInfo> ResolvePort(const std::string& wanted, const std::vector<PortInfo>& listed)
{
    if (wanted.find('/') == std::string::npos) {
        for (const PortInfo& port : listed) {
            if (port.name == wanted)
                return port;
        }
        return std::nullopt;
    }
    struct stat st {};
    if (stat(wanted.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return std::nullopt;
    const std::string real = RealPath(wanted);
    for (const PortInfo& port : listed) {
        if (RealPath(port.path) == real)
            return PortInfo{port.name, wanted, port.published};
    }
    return PortInfo{wanted, wanted};
}

PortPlan PlanPorts(const std::vector<std::string>& given, bool all, const PortFilter& filter, const PortFacts& facts)
{
    PortPlan plan;
    const std::vector<PortInfo> listed = facts.list();
    if (!given.empty()) {
        // In the order given; a port named twice is searched once. A port
        // named is always used: the filter is for the listed ones.
        std::set<std::string> chosen;
        std::vector<PortInfo> free;
        for (const std::string& name : given) {
            const std::optional<PortInfo> port = ResolvePort(name, listed);
            if (port && !chosen.insert(RealPath(port->path)).second)
                continue;
            const PortState state = port ? facts.probe(port->path) : PortState::Missing;
            if (state != PortState::Free) {
                plan.refused.push_back({.refusedName = name, .refusedPath = port ? port->path : name, .refusedState = state});
                // With -a each named port is a device of its own, and a
                // refused one keeps its place for the exit status.
                if (all)
                    plan.searches.push_back(plan.refused.back());
                continue;
            }
            if (all)
                plan.searches.push_back({.ports = {*port}});
            else
                free.push_back(*port);
        }
        if (!free.empty()) {
            plan.portsInOneSearch = free.size();
            plan.searches.push_back({.ports = std::move(free)});
        }
        return plan;
    }

    std::vector<PortInfo> allowed;
    for (const PortInfo& port : listed) {
        if (PortAllowed(port, facts.usb(port.path), filter))
            allowed.push_back(port);
    }
    if (all) {
        // Every allowed listed port, not only the first seven: a hub may
        // hold more; ports another program holds are left out, and do not
        // count unless named.
        for (const PortInfo& port : allowed) {
            const PortState state = facts.probe(port.path);
            if (state == PortState::Free)
                plan.searches.push_back({.ports = {port}, .noDeviceCounts = false});
            else if (state == PortState::NoPermission && plan.deniedPort.empty()) {
                plan.deniedPort = port.name;
                plan.deniedPath = port.path;
            }
        }
        return plan;
    }

    // As the window does it: the first seven allowed, those that are free.
    SearchPorts chosen = ChooseSearchPorts(allowed, SEARCH_PORT_LIMIT, facts.probe);
    plan.deniedPort = chosen.deniedPort;
    plan.deniedPath = chosen.deniedPath;
    if (!chosen.free.empty()) {
        plan.portsInOneSearch = chosen.free.size();
        plan.searches.push_back({.ports = std::move(chosen.free)});
    }
    return plan;
}

std::string WatchKey(const PortInfo& port)
{
    // A port plugged in again, or published anew, is a new device node:
    // its identity changes with it.
    struct stat st {};
    if (stat(port.path.c_str(), &st) != 0)
        return {};
    return port.name + "\n" + port.path + "\n" + std::to_string(st.st_ino) + "\n" + std::to_string(st.st_ctim.tv_sec) +
           "." + std::to_string(st.st_ctim.tv_nsec);
}
