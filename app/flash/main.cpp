// cvf-flash: puts new firmware on devices attached to serial ports, from
// scripts, terminals and production lines. The same checks, search,
// transfer and texts as the window program cvf-update.

#include "app/flash/FlashOptions.h"
#include "app/flash/FlashRun.h"
#include "app/workflow/EndSignalSet.h"

#include <csignal>

#include <pthread.h>

int main(int argc, char** argv)
{
    // Before any thread starts: the end signals and the terminal's size
    // changes are read, not taken.
    BlockEndSignals();
    sigset_t winch;
    sigemptyset(&winch);
    sigaddset(&winch, SIGWINCH);
    pthread_sigmask(SIG_BLOCK, &winch, nullptr);
    FlashOptions options;
    const int parsed = ParseFlashOptions(argc, argv, options);
    if (parsed >= 0)
        return parsed;
    return RunFlash(options);
}
