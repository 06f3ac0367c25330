#include "app/UpdateApp.h"

#include "app/EndSignals.h"
#include "app/UpdateDlg.h"
#include "app/workflow/StringTable.h"

#include <QLibraryInfo>
#include <QTranslator>

#include <cstdlib>

namespace {

// The dialog while it runs, for the end of the program under it.
CUpdateDlg* g_runningDialog = nullptr;

// exit() while the dialog runs: Qt's X11 connection calls it when the
// display goes away. The worker still has the port and maybe a device in
// the middle of an update.
void WindDownAtExit()
{
    if (CUpdateDlg* dialog = g_runningDialog) {
        g_runningDialog = nullptr;
        dialog->WindDownAtExit();
    }
}

}  // namespace

CUpdateApp::CUpdateApp(int& argc, char** argv) : QApplication(argc, argv)
{
    // The name message boxes carry as their caption.
    setApplicationName(QStringLiteral("cvf-update"));
    setDesktopFileName(QStringLiteral("org.cvfupdate.cvf_update"));
    // Qt's own texts (the file dialog, the message boxes' buttons) in the
    // language of the tool's texts, where Qt's translations are installed.
    if (CurrentLanguage() == Language::German) {
        auto* qtTexts = new QTranslator(this);
        if (qtTexts->load(QStringLiteral("qtbase_de"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
            installTranslator(qtTexts);
        else
            delete qtTexts;
    }
}

bool CUpdateApp::InitInstance()
{
    static const bool registered = std::atexit(WindDownAtExit) == 0;
    (void)registered;

    CUpdateDlg dlg;
    CEndSignals endSignals;
    QObject::connect(&endSignals, &CEndSignals::EndRequested, &dlg, [&dlg](int number) { dlg.OnEndSignal(number); });
    g_runningDialog = &dlg;
    dlg.exec();
    g_runningDialog = nullptr;
    if (dlg.EndSignal() != 0)
        m_nExitStatus = 128 + dlg.EndSignal();
    return false;
}
