#pragma once
// One device's work, in a process of its own that the parent started for
// it: the search on its port or ports, the wait for the parent's answer,
// the transfer with its closing commands. A hang, fault or crash here
// touches no other device.
//
// The job reports to the parent in JSON lines on eventFd, each an object
// whose "m" says what it is:
//   search   {port}                     this port is asked next
//   found    {port, compatible, have_version, version1, version2}
//   start    {}                         the transfer begins
//   progress {percent[, remaining_s, remaining]}  when the percentage changes
//   alive    {}                         nothing else to say for a while
//   result   {port, outcome, seconds, elapsed}    the last message
// The parent writes one word a line on controlFd: "yes" or "no" (the
// answer to the question, awaited only when asked for), "stop". A closed
// controlFd, SIGINT, SIGTERM and SIGHUP also stop: a running transfer ends
// after its current line and tells the device to restart.

#include "app/workflow/Operations.h"
#include "link/PortList.h"

#include <vector>

struct DeviceJob {
    std::vector<PortInfo> ports;  // asked in this order; the first device that answers is taken
    const CLoadedFirmware* firmware = nullptr;
    bool dryRun = false;          // search only, then restart the device as after "No"
    bool ask = false;             // wait for the parent's answer before writing
};

// Runs the job on the calling process's main thread (the end signals
// blocked) and returns its exit status.
int RunDeviceJob(const DeviceJob& job, int eventFd, int controlFd);

// How long the job may go without a message before it sends "alive".
inline constexpr int ALIVE_INTERVAL_MS = 5000;
