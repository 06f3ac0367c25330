#include "widgets/BackdropDialog.h"

#include "widgets/LightPalette.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

CBackdropDialog::CBackdropDialog(QWidget* parent) : QDialog(parent)
{
    // Before any child exists: the children take their colours when made.
    setPalette(LightPalette());
}

CBackdropDialog::~CBackdropDialog() = default;

bool CBackdropDialog::SetBackdropBitmap(unsigned id, int mode)
{
    m_mode = mode;
    m_hasBackdrop = true;
    const bool loaded = m_image.LoadFromResource(id & 0xFFFFu);
    update();
    return loaded;
}

bool CBackdropDialog::PaintBackdrop(QPainter& painter) const
{
    if (!m_hasBackdrop || m_image.GetBits() == nullptr) {
        return false;
    }
    const int w = width();
    const int h = height();
    switch (m_mode) {
    case Tile:
        for (int y = 0; y < h; y += m_image.Height()) {
            for (int x = 0; x < w; x += m_image.Width()) {
                m_image.DrawAt(painter, x, y);
            }
        }
        return true;
    case Stretch:
        m_image.DrawStretched(painter, 0, 0, w, h);
        return true;
    case Center:
        // Integer division truncates toward zero: a larger image is cropped
        // equally on both sides.
        m_image.DrawAt(painter, (w - m_image.Width()) / 2, (h - m_image.Height()) / 2);
        return true;
    default:
        return false;
    }
}

void CBackdropDialog::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    // The plain erase first where the picture may not cover everything; a
    // top-level window has it already, an embedded dialog has not.
    if (m_mode != Tile && m_mode != Stretch && !isWindow()) {
        painter.fillRect(rect(), palette().window());
    }
    PaintBackdrop(painter);
}

void CBackdropDialog::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        // Only a press on the dialog itself may move it. A press on a child
        // that takes mouse input (a button, the bar) reaches this handler
        // when the child lets it through, and the moves that follow belong
        // to that child.
        m_bPressOnSelf = childAt(event->position().toPoint()) == nullptr;
        m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
        m_bSystemMoveTried = false;
        m_bDragging = false;
    }
    QDialog::mousePressEvent(event);
    if (event->button() == Qt::LeftButton) {
        event->accept();   // the moves of this press come here
    }
}

void CBackdropDialog::mouseMoveEvent(QMouseEvent* event)
{
    // Only the left button alone moves the window: no other button, no Shift
    // and no Ctrl.
    const bool leftOnly = event->buttons() == Qt::LeftButton &&
                          (event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier)) == 0;
    if (leftOnly && m_bPressOnSelf && isWindow()) {
        if (!m_bDragging && !m_bSystemMoveTried) {
            m_bSystemMoveTried = true;
            QWindow* handle = windowHandle();
            if (handle != nullptr && handle->startSystemMove()) {
                // The window system moves the window from here on.
                QDialog::mouseMoveEvent(event);
                return;
            }
            m_bDragging = true;
        }
        if (m_bDragging) {
            move(event->globalPosition().toPoint() - m_dragOffset);
        }
    }
    QDialog::mouseMoveEvent(event);
}

void CBackdropDialog::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        m_bPressOnSelf = false;
        m_bDragging = false;
        m_bSystemMoveTried = false;
    }
    QDialog::mouseReleaseEvent(event);
}
