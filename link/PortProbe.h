#pragma once
// Who holds a port. A port is held by another program when it has a live
// UUCP lock file (link/UucpLock.h), when another opener has its advisory
// lock (flock; every copy of this tool takes it, root or not), or when it
// is in the terminal's exclusive mode (TIOCEXCL), which root's open()
// gets through but which still means the port is somebody's.

#include <string>

// Takes the advisory lock on an open port node and checks that nobody
// holds the node in exclusive mode. 0 when the port is ours (for as long
// as fd stays open), else the errno: EWOULDBLOCK another opener holds the
// lock, EBUSY the port is in exclusive mode, anything else from flock.
int ClaimPort(int fd);

// Opens the port for a moment to tell whether it can be had: 0 it exists
// and is free, 1 it does not exist, 2 it exists but cannot be had (held by
// another program, or no permission), -1 any other error (not a terminal,
// for one). A port with a live UUCP lock file is held (2, EBUSY) and is
// not opened. Never throws. osError, when given, gets errno of the failed
// call (EACCES: no permission; EBUSY or EWOULDBLOCK: held by another
// program; ENOTTY: no terminal), 0 for a free port.
int ProbePort(const std::string& devicePath, int* osError = nullptr);
