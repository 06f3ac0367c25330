#pragma once
// The signals that ask the program to end: SIGINT, SIGTERM and SIGHUP.
// Every front end blocks them before any thread starts (threads inherit
// the block, so none of them takes such a signal itself) and reads them
// from a signalfd where it can wind down in order.

#include <csignal>

sigset_t EndSignalSet();
// Blocks the end signals in the calling thread, and so in every thread
// started from it afterwards. Ignores SIGPIPE: a reader gone away (a
// closed pipe, a device) is an error to the writer, not the end.
void BlockEndSignals();
// A signalfd for the end signals (non-blocking, close-on-exec); -1 when
// none can be had.
int OpenEndSignalFd();
