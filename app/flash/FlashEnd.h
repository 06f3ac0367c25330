#pragma once
// How a run of cvf-flash ends: its exit status from the devices' outcomes,
// and the summary of them. The statuses are the outcome table's.

#include "app/workflow/Outcome.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

// One device, or one search over several ports, as it ended.
struct DeviceEnd {
    Outcome outcome = Outcome::Interrupted;
    bool noDeviceCounts = true;  // "no device" here decides the exit status
    bool refused = false;        // a named port that could not be searched (status 3)
};

struct RunEnd {
    std::vector<DeviceEnd> devices{};  // in the order of the ports (watch mode: as they appeared)
    bool signalled = false;
    bool watch = false;
    bool dryRun = false;
    std::optional<int> expect{};     // --expect N
};

// 0 when every device ended as wished; otherwise the status of the first,
// in the order of the ports, that did not; 130 after a signal (not in watch
// mode, whose normal end is a signal). Listed ports without a device count
// only when no device was found at all. With --expect N, a run where fewer
// than N devices ended done ("compatible" with --dry-run) and nothing else
// went wrong ends with 9.
int ExitStatus(const RunEnd& end);

// Every outcome name of the table (each once) with its number of devices,
// zeros included.
std::map<std::string, int> OutcomeCounts(const std::vector<DeviceEnd>& devices);

// Whether a device's end counts as updated (done, or compatible with a dry
// run) or as failed for the closing line: everything but done, compatible,
// declined and a "no device" that does not count.
bool Updated(const DeviceEnd& device, bool dryRun);
bool Failed(const DeviceEnd& device);
