#pragma once
// The work of one device process (the program cvf-device): the search on
// the job's ports, the wait for the answer, the transfer and its closing
// commands, reported as messages (app/workflow/DeviceMessages.h). A hang,
// fault or crash here touches no other device and no front end; a front
// end that dies leaves nothing half-done here: this side winds the device
// down by itself.
//
// It is given three descriptors: the front end's messages, its own
// messages to the front end (never waited on: a stalled front end never
// stalls a transfer) and the sealed block of checked lines. It reads no
// file, takes no option and makes no text.

#include <sys/types.h>

class CTransport;

// Where the work runs: in the program cvf-device, on the serial ports and
// for its parent; a test runs it on a thread of its own, on devices in
// memory and for its own process.
struct DeviceProcessSetting {
    CTransport* transport = nullptr;  // every port through this; none: the serial ports
    pid_t frontEnd = 0;               // the process the job must come from; 0: the parent
};

// Runs the whole job on the calling thread and returns the exit status:
// 0 after a result, 2 when no job came, 3 when the block of lines is short
// or differs (no port was touched), 4 when the front end was not the
// one expected. The end signals must be blocked (BlockEndSignals) before
// any thread starts. It closes imageFd; the other two are the caller's.
int RunDeviceProcess(int controlFd, int eventFd, int imageFd, const DeviceProcessSetting& setting = {});
