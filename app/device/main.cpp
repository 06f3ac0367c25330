// cvf-device: one device's search, question and transfer, in a process of
// its own. The front ends (cvf-update, cvf-flash) start it with its
// descriptors set up; it takes no options and is not meant to be run by
// hand.

#include "app/device/DeviceProcess.h"
#include "app/workflow/DeviceMessages.h"
#include "app/workflow/EndSignalSet.h"

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <sys/prctl.h>

int main()
{
    // First the end signals, so that the one the parent's death sends is
    // read as a stop, never taken.
    BlockEndSignals();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    for (const int fd : {DEVICE_CONTROL_FD, DEVICE_EVENT_FD, DEVICE_IMAGE_FD}) {
        if (fcntl(fd, F_GETFD) < 0) {
            std::fputs("cvf-device: started by cvf-update and cvf-flash only; it takes no options.\n", stderr);
            return 2;
        }
    }
    return RunDeviceProcess(DEVICE_CONTROL_FD, DEVICE_EVENT_FD, DEVICE_IMAGE_FD);
}
