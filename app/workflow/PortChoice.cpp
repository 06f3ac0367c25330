#include "app/workflow/PortChoice.h"

#include "link/SerialPort.h"

#include <algorithm>
#include <cerrno>

PortState ProbePortState(const std::string& devicePath)
{
    int error = 0;
    switch (CSerialPort::ProbePort(devicePath, &error)) {
    case 0:
        return PortState::Free;
    case 1:
        return PortState::Missing;
    case 2:
        return error == EACCES || error == EPERM ? PortState::NoPermission : PortState::Busy;
    default:
        return PortState::Unusable;
    }
}

const char* PortStateName(PortState state)
{
    switch (state) {
    case PortState::Free: return "free";
    case PortState::Busy: return "busy";
    case PortState::NoPermission: return "no_permission";
    case PortState::Missing: return "missing";
    case PortState::Unusable: return "unusable";
    }
    return "unusable";
}

SearchPorts ChooseSearchPorts(const std::vector<PortInfo>& listed, size_t limit,
                              const std::function<PortState(const std::string&)>& probe)
{
    SearchPorts chosen;
    const size_t count = std::min(listed.size(), limit);
    for (size_t i = 0; i < count; ++i) {
        const PortState state = probe(listed[i].path);
        if (state == PortState::Free)
            chosen.free.push_back(listed[i]);
        else if (state == PortState::NoPermission && chosen.deniedPort.empty())
            chosen.deniedPort = listed[i].name;
    }
    return chosen;
}
