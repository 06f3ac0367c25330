#pragma once
// The serial ports the tool may use, in the order they are tried: first
// the virtual ports published in the per-user port directory (symbolic
// links named like COM3 that point at a device node), then the machine's
// serial ports from sysfs, USB adapters first.

#include <string>
#include <vector>

struct PortInfo {
    std::string name;  // shown to the user: COM3, ttyUSB0
    std::string path;  // the device node to open: /dev/pts/4, /dev/ttyUSB0
};

// $XDG_RUNTIME_DIR/cvf-update/ports, or /tmp/cvf-update-<uid>/ports when
// XDG_RUNTIME_DIR is unset or empty. No trailing slash. The directory may
// not exist.
std::string PortDirectory();

// Creates PortDirectory() (and its parent) with mode 0700 where missing and
// returns its path. Throws std::system_error when that fails or when an
// existing directory is not one this user owns.
std::string MakePortDirectory();

// The ports of this machine and user.
std::vector<PortInfo> ListSerialPorts();

// The same from a given port directory and sysfs root ("/sys"), for tests.
// Published ports count only while the port directory is a real directory
// owned by this user and not writable by others, in a parent that is this
// user's or root's and not writable by others unless sticky (like /tmp).
// Machine ports are named by their device name with the path /dev/<name>.
std::vector<PortInfo> ListSerialPorts(const std::string& portDirectory, const std::string& sysfsRoot);

// Natural order of names: digit runs compare by their numeric value, so
// COM2 comes before COM10.
bool NaturalLess(const std::string& a, const std::string& b);
