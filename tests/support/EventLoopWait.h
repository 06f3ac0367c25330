#pragma once
// Waiting with the Qt event loop running, for the programs that drive the
// real window: a worker may be waiting for the window thread meanwhile.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <functional>

// Runs the event loop until done() holds (true) or the time is up (false).
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(200);
    }
    QCoreApplication::processEvents();
    return true;
}
