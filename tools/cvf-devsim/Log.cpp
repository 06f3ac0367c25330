#include "Log.h"

#include <cerrno>
#include <cstring>

std::string EscapeBytes(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '<') {
            out += static_cast<char>(c);
        } else {
            out += '<';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
            out += '>';
        }
    }
    return out;
}

CSimLog::~CSimLog()
{
    if (m_file != nullptr)
        std::fclose(m_file);
}

bool CSimLog::Open(const std::string& path, std::string& error)
{
    m_file = std::fopen(path.c_str(), "w");
    if (m_file == nullptr) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void CSimLog::Frame(const char* what, const std::string& text, const std::string& note)
{
    if (m_file == nullptr)
        return;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    std::fprintf(m_file, "%11.6f %s %s%s%s\n", seconds, what, EscapeBytes(text).c_str(),
                 note.empty() ? "" : " ", note.c_str());
    std::fflush(m_file);
}

void CSimLog::Event(const std::string& text)
{
    if (m_file == nullptr)
        return;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    std::fprintf(m_file, "%11.6f -- %s\n", seconds, text.c_str());
    std::fflush(m_file);
}
