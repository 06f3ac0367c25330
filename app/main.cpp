// cvf-update: puts new firmware on a device attached to a serial port.
// It takes no options of its own; Qt's options (-platform ...) pass through.

#include "app/EndSignals.h"
#include "app/workflow/EndSignalSet.h"
#include "app/UpdateApp.h"

int main(int argc, char** argv)
{
    // Before Qt starts any thread: the end signals come to the window.
    BlockEndSignals();
    CUpdateApp app(argc, argv);
    app.InitInstance();
    return app.ExitStatus();
}
