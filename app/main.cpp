// cvf-update: puts new firmware on a device attached to a serial port.
// It takes no options of its own; Qt's options (-platform ...) pass through.

#include "app/UpdateApp.h"

int main(int argc, char** argv)
{
    CUpdateApp app(argc, argv);
    app.InitInstance();
    return 0;
}
