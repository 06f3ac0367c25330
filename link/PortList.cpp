#include "link/PortList.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

bool EndsWith(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Closes a descriptor when it goes out of scope.
class CFd {
public:
    explicit CFd(int fd = -1) : m_fd(fd) {}
    ~CFd()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_fd; }
    int Release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

// Entries of an open directory, dot names left out. The descriptor stays
// open and unchanged.
std::vector<std::string> DirectoryEntries(int dirFd)
{
    std::vector<std::string> names;
    const int fd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return names;
    DIR* d = fdopendir(fd);
    if (!d) {
        close(fd);
        return names;
    }
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.')
            continue;
        names.push_back(name);
    }
    closedir(d);
    return names;
}

std::vector<std::string> DirectoryEntries(const std::string& dir)
{
    const CFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() < 0)
        return {};
    return DirectoryEntries(fd.Get());
}

std::string WithoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// "/a/b" gives "/a" and "b"; "b" gives "." and "b"; "/b" gives "/" and "b".
void SplitPath(const std::string& path, std::string& parent, std::string& base)
{
    const std::string p = WithoutTrailingSlashes(path);
    const auto slash = p.rfind('/');
    if (slash == std::string::npos) {
        parent = ".";
        base = p;
    } else {
        parent = slash == 0 ? "/" : p.substr(0, slash);
        base = p.substr(slash + 1);
    }
}

std::string ModeText(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// A directory of ours that nobody else can put entries into, judged on
// the open descriptor.
bool CheckPrivateDirectory(int fd, const std::string& path, std::string& error)
{
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        error = "cannot examine " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = path + " is not a directory";
        return false;
    }
    if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = path + " must belong to this user and be closed to others (owner " +
                std::to_string(st.st_uid) + ", mode " + ModeText(st.st_mode) + ")";
        return false;
    }
    return true;
}

// Opens name in dirFd as a directory without following a symbolic link,
// making it first when create and it is missing.
int OpenDirectoryIn(int dirFd, const std::string& name, const std::string& path, bool create,
                    std::string& error)
{
    if (create && mkdirat(dirFd, name.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return -1;
    }
    const int fd = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == ELOOP || e == ENOTDIR)
            error = path + " is not a directory (a symbolic link or a file)";
        else
            error = "cannot open " + path + ": " + std::strerror(e);
        return -1;
    }
    return fd;
}

constexpr unsigned kPtySlaveFirstMajor = 136;  // UNIX98_PTY_SLAVE_MAJOR
constexpr unsigned kPtySlaveMajors = 8;        // UNIX98_PTY_MAJOR_COUNT
constexpr unsigned kTtyAuxMajor = 5;           // /dev/tty, /dev/console, /dev/ptmx
constexpr unsigned kVirtualConsoleMajor = 4;   // minor 0 is /dev/tty0, the current console

bool IsTerminalNode(const struct stat& st, const std::string& sysfsRoot)
{
    if (!S_ISCHR(st.st_mode))
        return false;
    const unsigned maj = major(st.st_rdev);
    const unsigned min = minor(st.st_rdev);
    if (maj >= kPtySlaveFirstMajor && maj < kPtySlaveFirstMajor + kPtySlaveMajors)
        return true;
    if (maj == kTtyAuxMajor || (maj == kVirtualConsoleMajor && min == 0))
        return false;
    const std::string subsystem =
        sysfsRoot + "/dev/char/" + std::to_string(maj) + ":" + std::to_string(min) + "/subsystem";
    char target[PATH_MAX];
    const ssize_t n = readlink(subsystem.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return false;
    const std::string text(target, static_cast<size_t>(n));
    return text == "class/tty" || EndsWith(text, "/class/tty");
}

// A publisher holds the lock file ".NAME.lock" beside its link while it
// runs. A lock file that nobody holds means the publisher was killed
// without removing its link; the pseudo-terminal number behind the link
// may by now belong to another program, which must not be probed. A link
// without a lock file (made by hand, to a real device) counts as it is.
bool PublisherIsGone(int dirFd, const std::string& name)
{
    const std::string lockName = PublisherLockName(name);
    const CFd fd(openat(dirFd, lockName.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.Get() < 0)
        return errno != ENOENT;  // a lock file we cannot open is no proof of a publisher
    struct stat st {};
    if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return true;
    return flock(fd.Get(), LOCK_SH | LOCK_NB) == 0;
}

std::vector<PortInfo> PublishedPorts(const std::string& portDirectory, const std::string& sysfsRoot)
{
    std::vector<PortInfo> ports;
    std::string error;
    const CFd dir(OpenPortDirectory(portDirectory, false, error));
    if (dir.Get() < 0)
        return ports;
    const std::string base = WithoutTrailingSlashes(portDirectory);
    for (const std::string& name : DirectoryEntries(dir.Get())) {
        struct stat st {};
        if (fstatat(dir.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
            continue;
        char target[PATH_MAX];
        const ssize_t n = readlinkat(dir.Get(), name.c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        std::string path(target, static_cast<size_t>(n));
        if (path[0] != '/')
            path = base + "/" + path;
        // Dangling links (a simulated device that died) and links to
        // anything but a terminal are skipped before anything opens them.
        if (stat(path.c_str(), &st) != 0 || !IsTerminalNode(st, sysfsRoot))
            continue;
        if (PublisherIsGone(dir.Get(), name))
            continue;
        ports.push_back({name, path, true});
    }
    std::sort(ports.begin(), ports.end(),
              [](const PortInfo& a, const PortInfo& b) { return NaturalLess(a.name, b.name); });
    return ports;
}

std::string Canonical(const std::string& path)
{
    char buf[PATH_MAX];
    if (realpath(path.c_str(), buf))
        return buf;
    return path;
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

std::string PublisherLockName(const std::string& name)
{
    return "." + name + ".lock";
}

int OpenPortDirectory(const std::string& portDirectory, bool create, std::string& error)
{
    std::string parentPath, name, grandParent, parentName;
    SplitPath(portDirectory, parentPath, name);
    SplitPath(parentPath, grandParent, parentName);
    if (name.empty() || name == "." || name == ".." || parentName.empty() || parentName == "." ||
        parentName == "..") {
        error = "'" + portDirectory + "' cannot be a port directory";
        return -1;
    }
    // The parent's parent (/tmp, $XDG_RUNTIME_DIR) is only the way in.
    const CFd top(open(grandParent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (top.Get() < 0) {
        error = "cannot open " + grandParent + ": " + std::strerror(errno);
        return -1;
    }
    const CFd parent(OpenDirectoryIn(top.Get(), parentName, parentPath, create, error));
    if (parent.Get() < 0 || !CheckPrivateDirectory(parent.Get(), parentPath, error))
        return -1;
    CFd dir(OpenDirectoryIn(parent.Get(), name, WithoutTrailingSlashes(portDirectory), create, error));
    if (dir.Get() < 0 || !CheckPrivateDirectory(dir.Get(), WithoutTrailingSlashes(portDirectory), error))
        return -1;
    return dir.Release();
}

std::string MakePortDirectory()
{
    const std::string dir = PortDirectory();
    std::string error;
    const int fd = OpenPortDirectory(dir, true, error);
    if (fd < 0)
        throw std::system_error(EPERM, std::generic_category(), error);
    close(fd);
    return dir;
}

bool IsTerminalDevice(const std::string& path, const std::string& sysfsRoot)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && IsTerminalNode(st, sysfsRoot);
}

bool IsTerminalDevice(const std::string& path)
{
    return IsTerminalDevice(path, "/sys");
}

std::vector<PortInfo> ListSerialPorts(const std::string& portDirectory, const std::string& sysfsRoot)
{
    std::vector<PortInfo> ports = PublishedPorts(portDirectory, sysfsRoot);
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
