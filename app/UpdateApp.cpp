#include "app/UpdateApp.h"

#include "app/UpdateDlg.h"

CUpdateApp::CUpdateApp(int& argc, char** argv) : QApplication(argc, argv)
{
    // The name message boxes carry as their caption.
    setApplicationName(QStringLiteral("cvf-update"));
    setDesktopFileName(QStringLiteral("org.cvfupdate.cvf_update"));
}

bool CUpdateApp::InitInstance()
{
    CUpdateDlg dlg;
    dlg.exec();
    return false;
}
