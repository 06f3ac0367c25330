#pragma once
// The application: shows the main dialog and ends when it closes.

#include <QApplication>

class CUpdateApp : public QApplication {
    Q_OBJECT
public:
    CUpdateApp(int& argc, char** argv);
    // Runs the main dialog modally; the program ends after it. Returns
    // false, as there is nothing left to run.
    bool InitInstance();
};
