#pragma once
// The simulated device's 64 KiB flash: which bytes the data lines wrote,
// and the image file that shows them.

#include <cstdint>
#include <string>
#include <vector>

class CFlashImage {
public:
    CFlashImage() : m_bytes(kSize, 0xFF), m_written(kSize, false) {}

    // Stores bytes from address on; the address wraps at 0xFFFF.
    void Store(uint16_t address, const std::string& bytes);
    bool IsDirty() const { return m_dirty; }

    // Writes the image to path (through a temporary file renamed over it):
    // one line per run of up to 16 written bytes, "AAAA HHHH...", address
    // and bytes in upper-case hex, ascending. An empty path only marks the
    // image saved. False with the reason in error when the file cannot be
    // written.
    bool Save(const std::string& path, std::string& error);

private:
    static constexpr size_t kSize = 65536;
    std::vector<uint8_t> m_bytes;
    std::vector<bool> m_written;
    bool m_dirty = false;
};
