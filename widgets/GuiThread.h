#pragma once
// Runs a piece of work on the thread that owns a QObject (for widgets: the
// GUI thread) and waits for it. Called on that thread itself, the work runs
// at once, so a widget operation may be used from anywhere without a
// deadlock on the GUI thread. A worker that calls in while the GUI thread
// waits for that worker (for example joins it) would block both: the GUI
// thread has to keep running its event loop while workers use the widgets.

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <type_traits>
#include <utility>

template <typename F>
auto RunOnOwnerThread(QObject* owner, F&& work) -> std::invoke_result_t<F&>
{
    using R = std::invoke_result_t<F&>;
    if (QThread::currentThread() == owner->thread()) {
        return work();
    }
    if constexpr (std::is_void_v<R>) {
        QMetaObject::invokeMethod(owner, std::forward<F>(work), Qt::BlockingQueuedConnection);
    } else {
        R result{};
        QMetaObject::invokeMethod(owner, std::forward<F>(work), Qt::BlockingQueuedConnection, &result);
        return result;
    }
}
