#include "DeviceStandIn.h"

#include "app/device/DeviceProcess.h"

#include <atomic>
#include <csignal>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

// Each device process's work on a thread, with its own transport over the
// same devices; a kill is the end of its control pipe, after which it
// winds down as its program would.
class CDeviceStandIn::CThreadLauncher : public CDeviceLauncher {
public:
    explicit CThreadLauncher(const std::map<std::string, CMemoryDevice*>& devices) : m_devices(devices)
    {
        // As the device process does for itself: a front end gone is an
        // error to the writer, not the end of this whole process.
        std::signal(SIGPIPE, SIG_IGN);
    }
    ~CThreadLauncher() override
    {
        for (Run& run : m_runs) {
            if (run.thread.joinable())
                run.thread.join();
        }
    }

    int64_t Launch(const std::string&, int controlFd, int eventFd, int imageFd) override
    {
        std::lock_guard lock(m_mutex);
        Run& run = m_runs.emplace_back();
        for (const auto& [path, device] : m_devices)
            run.ports.Attach(path, *device);
        run.control = controlFd;
        run.thread = std::thread([&run, eventFd, imageFd] {
            DeviceProcessSetting setting;
            setting.transport = &run.ports;
            setting.frontEnd = getpid();
            RunDeviceProcess(run.control, eventFd, imageFd, setting);
            close(eventFd);
            close(run.control);
            run.ended = true;
        });
        return static_cast<int64_t>(m_runs.size());
    }

    bool Ended(int64_t handle) override
    {
        std::lock_guard lock(m_mutex);
        Run& run = At(handle);
        if (!run.ended)
            return false;
        if (run.thread.joinable())
            run.thread.join();
        return true;
    }

    void Kill(int64_t) override
    {
        // A thread cannot be killed; its front end's pipes are what ends it.
    }

private:
    struct Run {
        CMemoryPorts ports;
        int control = -1;
        std::thread thread;
        std::atomic<bool> ended{false};
    };
    Run& At(int64_t handle)
    {
        auto it = m_runs.begin();
        std::advance(it, handle - 1);
        return *it;
    }

    std::map<std::string, CMemoryDevice*> m_devices;
    std::mutex m_mutex;
    std::list<Run> m_runs;
};

CDeviceStandIn::CDeviceStandIn()
{
    m_ports = m_dir.File("ports");
    mkdir(m_ports.c_str(), 0700);
}

CDeviceStandIn::~CDeviceStandIn() = default;

CMemoryDevice& CDeviceStandIn::Add(const std::string& name, CMemoryDevice::Options options)
{
    const Pty& terminal = m_terminals.emplace_back(true);
    std::filesystem::create_symlink(terminal.Path(), m_ports + "/" + name);
    CMemoryDevice& device = m_devices.emplace_back(std::move(options));
    m_byPath[terminal.Path()] = &device;
    // The launcher sees every device added so far.
    m_launcher = std::make_shared<CThreadLauncher>(m_byPath);
    return device;
}

std::shared_ptr<CDeviceLauncher> CDeviceStandIn::Launcher() const
{
    return m_launcher;
}
