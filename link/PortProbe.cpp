#include "link/PortProbe.h"

#include "link/UucpLock.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

int ClaimPort(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return errno;
    // Root gets through another program's TIOCEXCL; the port is that
    // program's all the same. The flag is left exactly as it was.
    // (Kernels without TIOCGEXCL just skip this test.)
    int held = 0;
    if (ioctl(fd, TIOCGEXCL, &held) == 0 && held != 0)
        return EBUSY;
    return 0;
}

int ProbePort(const std::string& devicePath, int* osError)
{
    int error = 0;
    const int result = [&] {
        if (IsUucpLocked(devicePath)) {
            error = EBUSY;
            return 2;
        }
        const int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            error = errno;
            switch (error) {
            case ENOENT:
            case ENODEV:
            case ENXIO: return 1;
            case EBUSY:
            case EACCES:
            case EPERM: return 2;
            default: return -1;
            }
        }
        error = isatty(fd) ? ClaimPort(fd) : ENOTTY;
        ::close(fd);  // also releases the lock
        if (error == 0)
            return 0;
        return error == EWOULDBLOCK || error == EBUSY ? 2 : -1;
    }();
    if (osError)
        *osError = error;
    return result;
}
