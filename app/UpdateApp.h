#pragma once
// The application: shows the main dialog and ends when it closes.

#include <QApplication>

class CUpdateApp : public QApplication {
    Q_OBJECT
public:
    // Call BlockEndSignals() before constructing it: Qt may
    // start threads of its own here.
    CUpdateApp(int& argc, char** argv);
    // Runs the main dialog modally; the program ends after it. Returns
    // false, as there is nothing left to run.
    bool InitInstance();
    // The program's exit status: 0, or 128 plus the signal that ended it.
    int ExitStatus() const { return m_nExitStatus; }

private:
    int m_nExitStatus = 0;
};
