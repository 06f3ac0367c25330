#pragma once
// Windows of one design size on every window system.
//
// Where a window may refuse other sizes (X11, offscreen) the design size is
// fixed. A Wayland compositor does not ask: a window it maximises or makes
// full-screen (from its own title-bar button, which Qt's decoration draws
// whatever the window's flags, or from a shortcut) must take the size it
// is given, and a window that keeps a fixed size instead is a protocol
// error that ends the connection and, with it, the program. There the
// design size is the smallest size, and a window that is maximised or made
// full-screen goes back to normal at once, to its design size again.

#include <QMessageBox>
#include <QSize>

class QWidget;

// Whether KeepDesignSize fixes the size: on every platform but Wayland.
bool DesignSizeIsFixed();

// Gives the top-level window its design size as said above. Called again,
// it takes the new size.
void KeepDesignSize(QWidget* window, const QSize& size);

// A message box that keeps the size it lays itself out to in the same way
// (a plain QMessageBox fixes its size whenever it lays itself out).
class CMessageBox : public QMessageBox {
    Q_OBJECT
public:
    using QMessageBox::QMessageBox;

protected:
    bool event(QEvent* event) override;
};
