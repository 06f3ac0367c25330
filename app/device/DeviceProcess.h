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

// Runs the whole job on the calling thread and returns the exit status:
// 0 after a result, 2 when no job came, 3 when the block of lines is short
// or differs (no port was touched), 4 when the front end was not the
// parent it named. The end signals must be blocked (BlockEndSignals)
// before any thread starts.
int RunDeviceProcess(int controlFd, int eventFd, int imageFd);
