#include "link/UucpLock.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::mutex g_lockDirMutex;
std::vector<std::string> g_lockDirs = {"/run/lock", "/var/lock"};

// The pid in a lock file: four bytes with a NUL among them are a binary
// pid (a pid is below 2^24, so its top byte is 0); anything else is ASCII
// digits after optional blanks, ending the file or followed by white space
// and perhaps more (the program's and the user's name). 0 when it is
// neither.
pid_t LockFilePid(const char* bytes, size_t size)
{
    if (size == sizeof(int32_t) && std::memchr(bytes, '\0', size) != nullptr) {
        int32_t binary;
        std::memcpy(&binary, bytes, sizeof binary);
        return binary > 0 ? static_cast<pid_t>(binary) : 0;
    }
    size_t i = 0;
    while (i < size && (bytes[i] == ' ' || bytes[i] == '\t'))
        ++i;
    const size_t digits = i;
    long long value = 0;
    while (i < size && bytes[i] >= '0' && bytes[i] <= '9' && value <= INT_MAX)
        value = value * 10 + (bytes[i++] - '0');
    const bool ended =
        i == size || bytes[i] == ' ' || bytes[i] == '\t' || bytes[i] == '\n' || bytes[i] == '\r';
    return i > digits && ended && value > 0 && value <= INT_MAX ? static_cast<pid_t>(value) : 0;
}

// Whether `path` is a lock file naming a live process. Lock directories
// are writable by everybody: links, pipes and other odd entries are
// ignored, and only the first few bytes are read.
bool IsLiveLockFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st{};
    char bytes[128];
    ssize_t n = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        do {
            n = ::read(fd, bytes, sizeof bytes);
        } while (n < 0 && errno == EINTR);
    }
    ::close(fd);
    if (n <= 0)
        return false;
    const pid_t pid = LockFilePid(bytes, static_cast<size_t>(n));
    // EPERM: alive, only not ours to signal.
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

}  // namespace

std::string UucpLockName(std::string_view devicePath)
{
    const size_t slash = devicePath.rfind('/');
    return "LCK.." + std::string(slash == std::string_view::npos ? devicePath : devicePath.substr(slash + 1));
}

std::vector<std::string> GetUucpLockDirectories()
{
    std::lock_guard<std::mutex> guard(g_lockDirMutex);
    return g_lockDirs;
}

void SetUucpLockDirectories(std::vector<std::string> directories)
{
    std::lock_guard<std::mutex> guard(g_lockDirMutex);
    g_lockDirs = std::move(directories);
}

bool IsUucpLocked(const std::string& devicePath)
{
    // A port that is not there is missing, not held.
    char* real = realpath(devicePath.c_str(), nullptr);
    if (real == nullptr)
        return false;
    std::vector<std::string> names = {UucpLockName(devicePath)};
    const std::string resolved = UucpLockName(real);
    std::free(real);
    if (resolved != names.front())
        names.push_back(resolved);
    for (const std::string& dir : GetUucpLockDirectories()) {
        for (const std::string& name : names) {
            if (name.size() > 5 && IsLiveLockFile(dir + "/" + name))
                return true;
        }
    }
    return false;
}
