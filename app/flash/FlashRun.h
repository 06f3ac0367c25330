#pragma once
// The program cvf-flash once its command line is read: the port list, or
// the file's check, the choice of ports, one process per device, the
// question, the watch for new ports, the end on a signal and the exit
// status.

#include "app/flash/FlashOptions.h"

// Call BlockEndSignals() (app/workflow/EndSignalSet.h) before any thread
// starts; the run reads the signals from a signalfd.

// The exit statuses are the outcome table's (Outcome.h), and EXIT_USAGE.
int RunFlash(const FlashOptions& options);
