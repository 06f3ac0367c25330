#include "link/UsbInfo.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr size_t kValueLimit = 255;
// A USB interface sits a few levels below its device; a tree deeper than
// this is not what sysfs looks like.
constexpr int kLevelLimit = 8;

std::string RealPath(const std::string& path)
{
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

std::string LastComponent(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The first line of a small attribute file, without its line end; nothing
// when the file cannot be read.
std::optional<std::string> ReadValue(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    char buffer[kValueLimit + 1];
    ssize_t n;
    do {
        n = read(fd, buffer, kValueLimit);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n < 0)
        return std::nullopt;
    std::string value(buffer, static_cast<size_t>(n));
    const size_t end = value.find_first_of("\r\n");
    if (end != std::string::npos)
        value.resize(end);
    while (!value.empty() && value.back() == ' ')
        value.pop_back();
    return value;
}

}  // namespace

std::optional<UsbInfo> ReadUsbInfo(const std::string& sysfsRoot, const std::string& devicePath)
{
    // A published port is a link to the device node; its terminal's name
    // is that of the node.
    std::string node = RealPath(devicePath);
    if (node.empty())
        node = devicePath;
    const std::string name = LastComponent(node);
    if (name.empty() || name == "." || name == "..")
        return std::nullopt;

    const std::string root = RealPath(sysfsRoot);
    std::string dir = RealPath(sysfsRoot + "/class/tty/" + name + "/device");
    if (root.empty() || dir.empty())
        return std::nullopt;
    for (int level = 0; level < kLevelLimit; ++level) {
        if (dir.size() <= root.size() || dir.compare(0, root.size(), root) != 0 || dir[root.size()] != '/')
            return std::nullopt;
        const std::optional<std::string> vendor = ReadValue(dir + "/idVendor");
        const std::optional<std::string> product = ReadValue(dir + "/idProduct");
        if (vendor && product) {
            UsbInfo info;
            info.vendorId = *vendor;
            info.productId = *product;
            info.serial = ReadValue(dir + "/serial").value_or("");
            info.product = ReadValue(dir + "/product").value_or("");
            return info;
        }
        dir.resize(dir.rfind('/'));
    }
    return std::nullopt;
}
