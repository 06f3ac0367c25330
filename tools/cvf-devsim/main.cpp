// cvf-devsim: a simulated device in update mode on a pseudo-terminal, or
// (--publish) the publisher of a real serial device under a port name.

#include "DeviceSim.h"
#include "Options.h"

#include "link/PortList.h"
#include "link/PortPublisher.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <utility>

#include <sys/prctl.h>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int)
{
    g_stop = 1;
}

// Publishes options.publishPath as options.name until a signal ends it.
int PublishDevice(const SimOptions& options, const sigset_t& waitMask)
{
    std::string error;
    CSimLog log;
    if (!options.logFile.empty() && !log.Open(options.logFile, error)) {
        std::fprintf(stderr, "cvf-devsim: %s\n", error.c_str());
        return 1;
    }
    if (!IsTerminalDevice(options.publishPath)) {
        std::fprintf(stderr, "cvf-devsim: %s is not a terminal device (a serial port)\n",
                     options.publishPath.c_str());
        return 1;
    }
    CPortPublisher publisher;
    if (!publisher.Publish(options.name, options.publishPath, options.portDir, error)) {
        std::fprintf(stderr, "cvf-devsim: %s\n", error.c_str());
        return 1;
    }
    log.Event("port " + options.name + " " + options.publishPath);
    std::printf("ready %s %s\n", options.name.c_str(), options.publishPath.c_str());
    std::fflush(stdout);
    while (g_stop == 0)
        sigsuspend(&waitMask);
    log.Event("unpublished");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    SimOptions options;
    std::string error;
    const int parsed = ParseOptions(argc, argv, options, error);
    if (parsed == 1)
        return 0;
    if (parsed != 0) {
        std::fprintf(stderr, "cvf-devsim: %s\nTry 'cvf-devsim --help'.\n", error.c_str());
        return 2;
    }

    // A paced device answers when the line would have carried the bytes,
    // not up to 50 us later as the default timer slack allows.
    if (options.pacing && options.publishPath.empty())
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    // The signals that end the device are blocked except while it waits
    // in ppoll (or sigsuspend), so none is lost between a check and the
    // wait.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t blocked, waitMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGHUP);
    sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGHUP);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    if (!options.publishPath.empty())
        return PublishDevice(options, waitMask);

    const std::string name = options.name;
    CDeviceSim sim(std::move(options));
    if (!sim.Start(error)) {
        std::fprintf(stderr, "cvf-devsim: %s\n", error.c_str());
        return 1;
    }
    std::printf("ready %s %s\n", name.c_str(), sim.DevicePath().c_str());
    std::fflush(stdout);
    return sim.Run(waitMask, g_stop);
}
