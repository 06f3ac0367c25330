#include "FlashImage.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

void CFlashImage::Store(uint16_t address, const std::string& bytes)
{
    for (char c : bytes) {
        m_bytes[address] = static_cast<uint8_t>(c);
        m_written[address] = true;
        ++address;
    }
    m_dirty = true;
}

bool CFlashImage::Save(const std::string& path, std::string& error)
{
    m_dirty = false;
    if (path.empty())
        return true;
    const std::string temp = path + ".tmp";
    FILE* file = std::fopen(temp.c_str(), "w");
    if (file == nullptr) {
        error = "cannot write " + temp + ": " + std::strerror(errno);
        return false;
    }
    size_t address = 0;
    while (address < m_written.size()) {
        if (!m_written[address]) {
            ++address;
            continue;
        }
        std::fprintf(file, "%04zX ", address);
        for (int n = 0; n < 16 && address < m_written.size() && m_written[address]; ++n, ++address)
            std::fprintf(file, "%02X", m_bytes[address]);
        std::fputc('\n', file);
    }
    std::fclose(file);
    std::rename(temp.c_str(), path.c_str());
    return true;
}
