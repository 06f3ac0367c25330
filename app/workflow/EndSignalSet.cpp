#include "app/workflow/EndSignalSet.h"

#include <pthread.h>
#include <sys/signalfd.h>

sigset_t EndSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

void BlockEndSignals()
{
    const sigset_t set = EndSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

int OpenEndSignalFd()
{
    const sigset_t set = EndSignalSet();
    return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}
