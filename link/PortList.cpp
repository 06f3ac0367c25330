#include "link/PortList.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool StartsWith(const std::string& s, const char* prefix)
{
    return s.rfind(prefix, 0) == 0;
}

std::vector<std::string> DirectoryEntries(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return names;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.')
            continue;
        names.push_back(name);
    }
    closedir(d);
    return names;
}

// A directory of ours that nobody else can put entries into.
bool IsPrivateDirectory(const std::string& dir)
{
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & S_IWOTH) == 0;
}

// A directory in which nobody else can swap our directory for another:
// ours or root's, and either closed to others or sticky (like /tmp).
bool IsSafeParent(const std::string& dir)
{
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if (st.st_uid != geteuid() && st.st_uid != 0)
        return false;
    return (st.st_mode & S_IWOTH) == 0 || (st.st_mode & S_ISVTX) != 0;
}

std::string ParentOf(const std::string& dir)
{
    std::string p = dir;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const auto slash = p.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return p.substr(0, slash);
}

std::string Canonical(const std::string& path)
{
    char buf[PATH_MAX];
    if (realpath(path.c_str(), buf))
        return buf;
    return path;
}

// A publisher may hold a lock file ".NAME.lock" beside its link while it
// runs. A lock file that nobody holds means the publisher was killed
// without removing its link; the pseudo-terminal number behind the link
// may by now belong to another program, which must not be probed. A link
// without a lock file (made by hand, to a real device) counts as it is.
bool PublisherIsGone(const std::string& portDirectory, const std::string& name)
{
    const std::string lockPath = portDirectory + "/." + name + ".lock";
    const int fd = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool gone = flock(fd, LOCK_SH | LOCK_NB) == 0;
    close(fd);
    return gone;
}

std::vector<PortInfo> PublishedPorts(const std::string& portDirectory)
{
    std::vector<PortInfo> ports;
    if (!IsPrivateDirectory(portDirectory) || !IsSafeParent(ParentOf(portDirectory)))
        return ports;
    for (const std::string& name : DirectoryEntries(portDirectory)) {
        const std::string link = portDirectory + "/" + name;
        struct stat st {};
        if (lstat(link.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            continue;
        char target[PATH_MAX];
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        std::string path(target, static_cast<size_t>(n));
        if (path[0] != '/')
            path = portDirectory + "/" + path;
        // Dangling links (a simulated device that died) and links to
        // anything but a character device are skipped.
        if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
            continue;
        if (PublisherIsGone(portDirectory, name))
            continue;
        ports.push_back({name, path});
    }
    std::sort(ports.begin(), ports.end(),
              [](const PortInfo& a, const PortInfo& b) { return NaturalLess(a.name, b.name); });
    return ports;
}

int MachinePortRank(const std::string& name)
{
    if (StartsWith(name, "ttyUSB"))
        return 0;
    if (StartsWith(name, "ttyACM"))
        return 1;
    return 2;
}

std::vector<PortInfo> MachinePorts(const std::string& sysfsRoot)
{
    std::vector<PortInfo> ports;
    const std::string classDir = sysfsRoot + "/class/tty";
    for (const std::string& name : DirectoryEntries(classDir)) {
        const std::string entry = classDir + "/" + name;
        struct stat st {};
        // Consoles, virtual terminals and pseudo-terminals have no device.
        if (lstat((entry + "/device").c_str(), &st) != 0)
            continue;
        if (StartsWith(name, "ttyS")) {
            // The 8250 driver registers ports without a UART behind them;
            // their type reads 0.
            std::ifstream typeFile(entry + "/type");
            std::string type;
            if (typeFile >> type && type == "0")
                continue;
        }
        ports.push_back({name, "/dev/" + name});
    }
    std::sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
        const int ra = MachinePortRank(a.name), rb = MachinePortRank(b.name);
        if (ra != rb)
            return ra < rb;
        return NaturalLess(a.name, b.name);
    });
    return ports;
}

}  // namespace

bool NaturalLess(const std::string& a, const std::string& b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            size_t ie = i, je = j;
            while (ie < a.size() && IsDigit(a[ie]))
                ++ie;
            while (je < b.size() && IsDigit(b[je]))
                ++je;
            size_t is = i, js = j;  // skip leading zeros
            while (is + 1 < ie && a[is] == '0')
                ++is;
            while (js + 1 < je && b[js] == '0')
                ++js;
            const size_t la = ie - is, lb = je - js;
            if (la != lb)
                return la < lb;
            const int c = a.compare(is, la, b, js, lb);
            if (c != 0)
                return c < 0;
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size())
        return j < b.size();  // the shorter rest comes first
    return a < b;             // equal values, different spelling (COM01, COM1)
}

std::string PortDirectory()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/')
        return std::string(runtime) + "/cvf-update/ports";
    return "/tmp/cvf-update-" + std::to_string(getuid()) + "/ports";
}

std::string MakePortDirectory()
{
    const std::string dir = PortDirectory();
    for (const std::string& d : {ParentOf(dir), dir}) {
        if (mkdir(d.c_str(), 0700) != 0 && errno != EEXIST)
            throw std::system_error(errno, std::generic_category(), "cannot create " + d);
        if (!IsPrivateDirectory(d))
            throw std::system_error(EPERM, std::generic_category(),
                                    d + " is not a directory of this user closed to others");
    }
    return dir;
}

std::vector<PortInfo> ListSerialPorts(const std::string& portDirectory, const std::string& sysfsRoot)
{
    std::vector<PortInfo> ports = PublishedPorts(portDirectory);
    std::vector<std::string> published;
    for (const PortInfo& p : ports)
        published.push_back(Canonical(p.path));
    // A machine port that is also published is listed once, under its
    // published name.
    for (PortInfo& p : MachinePorts(sysfsRoot)) {
        if (std::find(published.begin(), published.end(), Canonical(p.path)) == published.end())
            ports.push_back(std::move(p));
    }
    return ports;
}

std::vector<PortInfo> ListSerialPorts()
{
    return ListSerialPorts(PortDirectory(), "/sys");
}
