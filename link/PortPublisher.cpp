#include "link/PortPublisher.h"

#include "link/PortList.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A lock file that vanishes between our open and our lock was given up by
// its publisher just then: open it again, a few times at most.
constexpr int kLockAttempts = 20;
// Listing the ports takes a shared lock on each lock file for a moment;
// a publisher that meets it tries again this often, this far apart.
constexpr int kBusyAttempts = 5;
constexpr long kBusyPauseNs = 10'000'000;

void Pause(long ns)
{
    timespec t{0, ns};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

bool IsPlainName(const std::string& name)
{
    // Room for ".NAME.lock" and the temporary ".NAME.<pid>.new".
    return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
           name.size() <= NAME_MAX - 20;
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string ReadLinkAt(int dir, const std::string& name)
{
    char target[PATH_MAX];
    const ssize_t n = readlinkat(dir, name.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

}  // namespace

CPortPublisher::~CPortPublisher()
{
    Unpublish();
}

bool CPortPublisher::Publish(const std::string& name, const std::string& devicePath, std::string& error)
{
    return Publish(name, devicePath, std::string(), error);
}

bool CPortPublisher::TakeLock(const std::string& name, bool& created, std::string& error)
{
    const std::string lockName = PublisherLockName(name);
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        created = false;
        int fd = openat(m_dir, lockName.c_str(),
                        O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd >= 0) {
            created = true;
        } else if (errno == EEXIST) {
            fd = openat(m_dir, lockName.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0 && errno == ENOENT)
                continue;  // removed just now
        }
        if (fd < 0) {
            error = errno == ELOOP ? lockName + " in the port directory is a symbolic link"
                                   : "cannot open " + lockName + ": " + std::strerror(errno);
            return false;
        }
        struct stat held {};
        if (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode) || held.st_uid != geteuid()) {
            close(fd);
            error = lockName + " in the port directory is not a lock file of this user";
            return false;
        }
        int locked = -1;
        for (int busy = 0; busy < kBusyAttempts; ++busy) {
            locked = flock(fd, LOCK_EX | LOCK_NB);
            if (locked == 0 || errno != EWOULDBLOCK)
                break;
            Pause(kBusyPauseNs);
        }
        if (locked != 0) {
            const int e = errno;
            close(fd);
            error = e == EWOULDBLOCK ? name + " is published by another running program"
                                     : "cannot lock " + lockName + ": " + std::strerror(e);
            return false;
        }
        // The previous owner removes its lock file while it still holds it;
        // if ours is that file, the name is not ours yet: take the new one.
        struct stat now {};
        if (fstatat(m_dir, lockName.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(now, held)) {
            m_lock = fd;
            return true;
        }
        close(fd);
    }
    error = "the lock file of " + name + " keeps changing";
    return false;
}

bool CPortPublisher::Publish(const std::string& name, const std::string& devicePath,
                             const std::string& portDirectory, std::string& error)
{
    Unpublish();
    if (!IsPlainName(name)) {
        error = "'" + name + "' cannot be a port name";
        return false;
    }
    std::string target = devicePath;
    if (target.empty()) {
        error = "no device to publish";
        return false;
    }
    if (target[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            error = std::string("cannot tell the working directory: ") + std::strerror(errno);
            return false;
        }
        target = std::string(cwd) + "/" + target;
    }
    const std::string dirPath = portDirectory.empty() ? PortDirectory() : portDirectory;
    m_dir = OpenPortDirectory(dirPath, true, error);
    if (m_dir < 0)
        return false;

    bool created = false;
    if (!TakeLock(name, created, error)) {
        close(m_dir);
        m_dir = -1;
        return false;
    }
    m_name = name;

    struct stat st {};
    if (fstatat(m_dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = dirPath + "/" + name + " exists and is not a port link";
            Unpublish();
            return false;
        }
        if (created) {
            // No publisher has had this name: someone made the link by hand.
            error = dirPath + "/" + name + " exists already (made by hand?); remove it or choose another name";
            Unpublish();
            return false;
        }
    }
    // The link appears whole: made under a name the port list skips, then
    // renamed over whatever a killed publisher left.
    const std::string temp = "." + name + "." + std::to_string(getpid()) + ".new";
    unlinkat(m_dir, temp.c_str(), 0);
    if (symlinkat(target.c_str(), m_dir, temp.c_str()) != 0 ||
        renameat(m_dir, temp.c_str(), m_dir, name.c_str()) != 0) {
        error = "cannot publish " + dirPath + "/" + name + ": " + std::strerror(errno);
        unlinkat(m_dir, temp.c_str(), 0);
        Unpublish();
        return false;
    }
    m_target = target;
    m_linkPath = dirPath + "/" + name;
    return true;
}

void CPortPublisher::Unpublish()
{
    if (m_lock >= 0) {
        // Link first, lock file last and while still held, so that a link
        // is never there without its held lock file.
        if (!m_target.empty() && ReadLinkAt(m_dir, m_name) == m_target)
            unlinkat(m_dir, m_name.c_str(), 0);
        const std::string lockName = PublisherLockName(m_name);
        struct stat held {}, now {};
        if (fstat(m_lock, &held) == 0 && fstatat(m_dir, lockName.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            SameFile(held, now))
            unlinkat(m_dir, lockName.c_str(), 0);
        close(m_lock);
        m_lock = -1;
    }
    if (m_dir >= 0) {
        close(m_dir);
        m_dir = -1;
    }
    m_name.clear();
    m_target.clear();
    m_linkPath.clear();
}
