#pragma once
// Runs cvf-devsim as a child process with a private port directory and
// waits for its "ready" line.

#include <string>
#include <vector>

#include <sys/types.h>

class CSimDevice {
public:
    // Starts the simulator in a directory of its own with --name name,
    // --log, --no-pacing (unless paced) and the given extra arguments;
    // relative paths in them name files in that directory (File()).
    explicit CSimDevice(const std::vector<std::string>& args = {}, bool paced = false,
                        const std::string& name = "COM5");
    ~CSimDevice();
    CSimDevice(const CSimDevice&) = delete;
    CSimDevice& operator=(const CSimDevice&) = delete;

    bool IsReady() const { return m_ready; }
    const std::string& DevicePath() const { return m_devicePath; }
    const std::string& ReadyLine() const { return m_readyLine; }
    std::string LinkPath() const { return m_dir + "/cvf-update/ports/" + m_name; }
    std::string File(const std::string& name) const { return m_dir + "/" + name; }

    // The log so far, and how many of its lines contain text.
    std::string Log() const;
    int CountLogLines(const std::string& text) const;
    // Waits up to timeoutMs for a log line containing text.
    bool WaitForLog(const std::string& text, int timeoutMs = 3000) const;

    // SIGTERM and wait; returns the exit status, or -1 when it did not exit
    // normally. A device that ended by itself is only reaped.
    int Stop();

private:
    std::string m_dir;
    std::string m_name;
    std::string m_devicePath;
    std::string m_readyLine;
    pid_t m_pid = -1;
    int m_out = -1;
    bool m_ready = false;
};

std::string ReadFile(const std::string& path);
