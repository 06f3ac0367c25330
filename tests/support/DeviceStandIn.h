#pragma once
// Devices in memory (MemoryDevice.h) on ports a test makes of its own, and
// the device process's work for them on a thread of the test instead of a
// process (CDeviceLauncher): the workflow and the supervisor run as they do
// for the window, with no process and no simulator, and the devices' time-
// outs take no time. The ports are pseudo-terminals published in a port
// folder of the test's own, so the listing, the probe and the supervisor's
// hold on a port see real terminals; nothing is ever sent to them.

#include "DeviceRecords.h"
#include "MemoryDevice.h"
#include "Pty.h"

#include "app/workflow/DeviceSupervisor.h"

#include <list>
#include <map>
#include <memory>
#include <string>

class CDeviceStandIn {
public:
    CDeviceStandIn();
    ~CDeviceStandIn();
    CDeviceStandIn(const CDeviceStandIn&) = delete;
    CDeviceStandIn& operator=(const CDeviceStandIn&) = delete;

    // A device on a port of this name (the ports list in name order).
    CMemoryDevice& Add(const std::string& name, CMemoryDevice::Options options = {});
    // The folder the ports are published in (for UsePortDirectory).
    const std::string& PortDirectory() const { return m_ports; }
    // What the workflow starts its device processes with.
    std::shared_ptr<CDeviceLauncher> Launcher() const;

private:
    class CThreadLauncher;

    CTempDir m_dir;
    std::string m_ports;
    std::list<Pty> m_terminals;
    std::list<CMemoryDevice> m_devices;
    std::map<std::string, CMemoryDevice*> m_byPath;
    std::shared_ptr<CThreadLauncher> m_launcher;
};
