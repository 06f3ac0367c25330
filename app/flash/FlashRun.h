#pragma once
// The program cvf-flash once its command line is read: the port list, or
// the file's check, the choice of ports, one process per device, the
// question, the watch for new ports, the end on a signal and the exit
// status.

#include "app/flash/FlashOptions.h"

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread (and so in every
// thread and process started after it) and ignores SIGPIPE. Must run
// before any thread starts; the run reads the signals from a signalfd.
void BlockEndSignals();

// The exit statuses are the outcome table's (Outcome.h), and EXIT_USAGE.
int RunFlash(const FlashOptions& options);
