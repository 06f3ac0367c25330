#pragma once
// The simulated device's log: every frame received (RX, with its verdict)
// and sent (TX), and every event (--), each line with the seconds since
// the start. Bytes outside printable ASCII, and '<', show as <HH>.

#include <chrono>
#include <cstdio>
#include <string>

class CSimLog {
public:
    CSimLog() : m_start(std::chrono::steady_clock::now()) {}
    ~CSimLog();
    CSimLog(const CSimLog&) = delete;
    CSimLog& operator=(const CSimLog&) = delete;

    // Starts the log in path (truncated); without a call nothing is logged.
    bool Open(const std::string& path, std::string& error);

    void Frame(const char* what, const std::string& text, const std::string& note = {});
    void Event(const std::string& text);

private:
    FILE* m_file = nullptr;
    std::chrono::steady_clock::time_point m_start;
};

// text with bytes outside 0x20..0x7E, and '<', written as <HH>.
std::string EscapeBytes(const std::string& text);
