#include "widgets/DesignSize.h"

#include <QEvent>
#include <QGuiApplication>
#include <QMetaObject>
#include <QPointer>
#include <QWidget>

namespace {

constexpr Qt::WindowStates kLargeStates = Qt::WindowMaximized | Qt::WindowFullScreen;
const char kKeeperName[] = "cvf-normal-state-keeper";

// Puts a maximised or full-screen window back to normal. Only the state is
// asked for: the window keeps the size it was given until the compositor
// has configured the normal state, and then takes its normal size again
// (a window of another size than the configured one while maximised is
// the protocol error this avoids).
class CNormalStateKeeper : public QObject {
public:
    explicit CNormalStateKeeper(QWidget* window) : QObject(window)
    {
        setObjectName(QLatin1String(kKeeperName));
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::WindowStateChange) {
            auto* window = static_cast<QWidget*>(watched);
            if (window->windowState() & kLargeStates) {
                // After the state change has been handled everywhere.
                QMetaObject::invokeMethod(
                    this,
                    [target = QPointer<QWidget>(window)] {
                        if (target && (target->windowState() & kLargeStates))
                            target->showNormal();
                    },
                    Qt::QueuedConnection);
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

bool DesignSizeIsFixed()
{
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

void KeepDesignSize(QWidget* window, const QSize& size)
{
    if (DesignSizeIsFixed()) {
        window->setFixedSize(size);
        return;
    }
    window->setMinimumSize(size);
    window->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    if (!(window->windowState() & kLargeStates))
        window->resize(size);
    // By name: the class has no meta-object of its own to be found by.
    if (!window->findChild<QObject*>(QLatin1String(kKeeperName), Qt::FindDirectChildrenOnly))
        new CNormalStateKeeper(window);
}

bool CMessageBox::event(QEvent* event)
{
    const bool handled = QMessageBox::event(event);
    // The box fixes its size when it is shown and when it lays itself out
    // again; before the window system sees it, that size becomes its
    // smallest instead.
    if (!DesignSizeIsFixed() && minimumSize() == maximumSize() && !minimumSize().isEmpty())
        KeepDesignSize(this, minimumSize());
    return handled;
}
