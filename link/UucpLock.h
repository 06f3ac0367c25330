#pragma once
// UUCP lock files. Terminal programs mark a port they use with a file
// LCK..<name> in a lock directory holding their pid, in ASCII (most) or as
// a 4-byte binary number (some old ones). A port with such a file whose pid
// is alive counts as held; a file with a dead or unreadable pid is ignored
// (and left where it is). Nothing here writes lock files.
//
// <name> is the last component of the device path: /dev/ttyUSB0 gives
// LCK..ttyUSB0, /dev/pts/3 gives LCK..3. For a path through a symbolic
// link the names of both the link and the device it leads to count.

#include <string>
#include <string_view>
#include <vector>

std::string UucpLockName(std::string_view devicePath);
// Where lock files are looked for; {"/run/lock", "/var/lock"} unless set.
std::vector<std::string> GetUucpLockDirectories();
void SetUucpLockDirectories(std::vector<std::string> directories);
// Whether a live lock file in those directories names the port (which
// must exist: a missing path is never locked).
bool IsUucpLocked(const std::string& devicePath);
