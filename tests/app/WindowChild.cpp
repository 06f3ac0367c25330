// The real main window in a process of its own, driven to the middle of a
// transfer, for a test to end it there the hard way (SIGKILL, the display
// or compositor going away). It prints "transferring" once the bar has
// moved and then runs until it is ended.
// Usage: window_child PORT-DIRECTORY FIRMWARE-FILE

#include "DialogTestSupport.h"
#include "app/workflow/StringTable.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    QApplication app(argc, argv);
    SetLanguage(Language::English);
    apptest::CTestDialog dialog(argv[1], std::string(argv[1]) + "/no-sysfs");
    dialog.Workflow().m_nSearchHoldMs = 0;
    dialog.show();
    if (!dialog.Load(argv[2]) || !dialog.Search() || dialog.Workflow().Step() != StepTransfer)
        return 3;
    dialog.OpenClickGate();
    apptest::MouseClick(dialog.m_btnYes);
    // The bar still shows the search's 100 until the transfer has begun.
    const QString started = QString::fromStdString(Text(IDS_UPDATE_STARTED));
    while (dialog.m_lblStatus1.text() != started || dialog.m_progress.GetPos() < 5) {
        if (!dialog.Workflow().IsWorkerRunning())
            return 4;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    std::puts("transferring");
    std::fflush(stdout);
    return app.exec();
}
