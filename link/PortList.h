#pragma once
// The serial ports the tool may use, in the order they are tried: first
// the virtual ports published in the per-user port directory (symbolic
// links named like COM3 that point at a terminal device), then the
// machine's serial ports from sysfs, USB adapters first.

#include <string>
#include <vector>

struct PortInfo {
    std::string name;  // shown to the user: COM3, ttyUSB0
    std::string path;  // the device node to open: /dev/pts/4, /dev/ttyUSB0
    bool published = false;  // from the port directory (a simulated device, or a port published by hand)
};

// $XDG_RUNTIME_DIR/cvf-update/ports, or /tmp/cvf-update-<uid>/ports when
// XDG_RUNTIME_DIR is unset or not an absolute path. No trailing slash. The
// directory may not exist.
std::string PortDirectory();

// Opens a port directory, for listing its ports or publishing in it. The
// directory and its parent must be real directories (no symbolic link in
// either place) owned by this user that nobody else may write to; they are
// opened one from the other (openat, O_NOFOLLOW) and checked on the open
// descriptors, so nothing can be swapped in between. With create, missing
// ones are made with mode 0700 (the parent's parent must exist). Returns a
// close-on-exec directory descriptor, or -1 with the reason in error.
int OpenPortDirectory(const std::string& portDirectory, bool create, std::string& error);

// The lock file a publisher holds beside its port link NAME: ".NAME.lock".
std::string PublisherLockName(const std::string& name);

// Creates PortDirectory() (and its parent) with mode 0700 where missing and
// returns its path. Throws std::system_error when that fails or when an
// existing directory is not one of this user closed to others.
std::string MakePortDirectory();

// True when path names a character device that is a terminal, decided
// without opening it: a pseudo-terminal's terminal side (major 136 to 143)
// or a device of sysfs's tty class (/sys/dev/char/MAJ:MIN/subsystem).
// /dev/tty, /dev/tty0, /dev/console and /dev/ptmx stand for another
// terminal, or make a new one, and do not count. Symbolic links are
// followed (a path from /dev/serial/by-id/ is fine).
bool IsTerminalDevice(const std::string& path);
// The same against another sysfs root, for tests.
bool IsTerminalDevice(const std::string& path, const std::string& sysfsRoot);

// The ports of this machine and user.
std::vector<PortInfo> ListSerialPorts();

// The same from a given port directory and sysfs root ("/sys"), for tests.
// Published ports count only while OpenPortDirectory accepts the directory,
// and only links whose target is a terminal device (IsTerminalDevice); a
// link whose lock file ".NAME.lock" exists but is held by nobody is left
// out (its publisher was killed). Machine ports are named by their device
// name with the path /dev/<name>.
std::vector<PortInfo> ListSerialPorts(const std::string& portDirectory, const std::string& sysfsRoot);

// Natural order of names: digit runs compare by their numeric value, so
// COM2 comes before COM10.
bool NaturalLess(const std::string& a, const std::string& b);
