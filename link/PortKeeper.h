#pragma once
// A hold on a port that another process is about to use: taken before that
// process opens it, it keeps what the port was (its line settings and the
// driver's low-latency flag), so that the port can be given back as it was
// when that process is lost without closing it properly. The hold itself
// takes no lock and sets no exclusive mode, so the other process can open
// the port as usual; once that process has set the exclusive mode nobody
// but root could open the port again, which is why the hold comes first.

#include <string>

#include <termios.h>

class CPortKeeper {
public:
    CPortKeeper() = default;
    ~CPortKeeper() { Release(); }
    CPortKeeper(CPortKeeper&& other) noexcept;
    CPortKeeper& operator=(CPortKeeper&& other) noexcept;
    CPortKeeper(const CPortKeeper&) = delete;
    CPortKeeper& operator=(const CPortKeeper&) = delete;

    // Opens the terminal device without waiting for anything and notes its
    // state; false (and errno) when it cannot be opened or is no terminal.
    bool Take(const std::string& devicePath);
    bool IsHeld() const { return m_fd >= 0; }
    // Clears the exclusive mode, discards what is queued either way, puts
    // the settings and the low-latency flag back, and lets go.
    void Restore();
    // Lets go and leaves the port as it is.
    void Release();

private:
    int m_fd = -1;
    termios m_settings{};
    bool m_haveLowLatency = false;
    bool m_lowLatency = false;
};
