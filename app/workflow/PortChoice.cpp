#include "app/workflow/PortChoice.h"

#include "app/workflow/StringIds.h"
#include "app/workflow/StringTable.h"
#include "link/SerialPort.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The name of group gid, empty when it has none.
std::string GroupName(gid_t gid)
{
    std::vector<char> buffer(4096);
    for (;;) {
        group entry {};
        group* found = nullptr;
        const int error = getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        return error == 0 && found && found->gr_name ? std::string(found->gr_name) : std::string();
    }
}

// True when this process has gid as its own or a supplementary group.
bool InGroup(gid_t gid)
{
    if (getegid() == gid)
        return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = getgroups(count, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

}  // namespace

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
        else if (state == PortState::NoPermission && chosen.deniedPort.empty()) {
            chosen.deniedPort = listed[i].name;
            chosen.deniedPath = listed[i].path;
        }
    }
    return chosen;
}

PortAccess PortAccessOf(const std::string& devicePath)
{
    PortAccess access;
    struct stat st {};
    if (stat(devicePath.c_str(), &st) != 0)
        return access;
    access.group = GroupName(st.st_gid);
    const bool groupMayUse = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    access.joinable = !access.group.empty() && st.st_gid != 0 && groupMayUse && !InGroup(st.st_gid);
    return access;
}

std::string NoPermissionText(const std::string& portName, const std::string& devicePath)
{
    const PortAccess access = PortAccessOf(devicePath);
    if (access.joinable)
        return FormatText(Text(IDS_NO_PERMISSION_JOIN), {portName, access.group});
    return FormatText(IDS_NO_PERMISSION_ASK_ADMIN, portName);
}
