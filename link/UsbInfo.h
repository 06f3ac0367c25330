#pragma once
// What sysfs tells about the USB device behind a serial port: its vendor
// and product IDs, serial number and product name, as the device reported
// them in its descriptors (so: untrusted text).

#include <optional>
#include <string>

struct UsbInfo {
    std::string vendorId;   // four hex digits, e.g. 0403
    std::string productId;  // e.g. 6001
    std::string serial;     // empty when the device has none
    std::string product;    // the product name, empty when none
};

// The USB device behind the terminal devicePath (/dev/ttyUSB0, or a link
// to it such as a published port): the nearest directory above
// <sysfsRoot>/class/tty/<name>/device that holds idVendor and idProduct,
// within sysfsRoot. Nothing for terminals without a USB device
// (pseudo-terminals, the board's own UARTs). Each value is the first line
// of its file, at most 255 bytes.
std::optional<UsbInfo> ReadUsbInfo(const std::string& sysfsRoot, const std::string& devicePath);
