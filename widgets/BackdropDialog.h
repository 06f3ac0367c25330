#pragma once
// A dialog that paints a bitmap as the background of its whole client area
// and moves when its client area is dragged with the left mouse button. A
// drag that begins on a child that takes mouse input (a button, a progress
// bar) does not move it; children meant to be part of the draggable area
// (the labels) are transparent for mouse events.
//
// The picture does not change with the desktop's colours, so neither does
// what is drawn on it: the dialog and every child made after it take Qt's
// default light palette (LightPalette.h), whatever palette the application
// has, now or later. Windows it opens (message boxes, file dialogs) keep
// the application's.

#include "widgets/DibImage.h"

#include <QDialog>
#include <QPoint>

class QMouseEvent;
class QPaintEvent;

enum BackdropMode { Tile = 0, Stretch = 1, Center = 2 };

class CBackdropDialog : public QDialog {
    Q_OBJECT
public:
    explicit CBackdropDialog(QWidget* parent = nullptr);
    ~CBackdropDialog() override;

    // Stores the mode, loads bitmap resource id and repaints the whole
    // client area whether or not the load worked. Returns whether it did;
    // after a failed load the previous image (or none) stays.
    bool SetBackdropBitmap(unsigned id, int mode);

    const CDibImage& BackdropImage() const { return m_image; }
    int BackdropModeValue() const { return m_mode; }
    bool HasBackdrop() const { return m_hasBackdrop; }

protected:
    // The image, set by SetBackdropBitmap or by a subclass through it.
    CDibImage m_image;
    int m_mode = Tile;
    bool m_hasBackdrop = false;

    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

    // Paints the backdrop onto painter for a client area of the dialog's
    // size. False when nothing was painted (no backdrop, empty image or an
    // unknown mode): the plain dialog background then shows.
    bool PaintBackdrop(QPainter& painter) const;

private:
    bool m_bPressOnSelf = false;     // the left button went down on the dialog, not on a child
    bool m_bDragging = false;        // a left-button drag moves the window by hand
    bool m_bSystemMoveTried = false;
    QPoint m_dragOffset;             // cursor position relative to the window's frame
};
