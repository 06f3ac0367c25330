#include "widgets/BufferedDC.h"

#include <QPaintDevice>
#include <QWidget>

CBufferedDC::CBufferedDC(QPaintDevice* target, const QRect& clipBox)
    : m_pTarget(target), m_rect(clipBox.normalized()), m_bOffscreen(target->devType() != QInternal::Printer)
{
    if (!m_bOffscreen) {
        begin(target);
        return;
    }
    const qreal ratio = target->devicePixelRatioF();
    if (!m_rect.isEmpty()) {
        m_bitmap = QImage(m_rect.size() * ratio, QImage::Format_ARGB32_Premultiplied);
    }
    if (m_bitmap.isNull()) {
        return;   // nothing to cover, or no memory: drawing has no effect
    }
    m_bitmap.setDevicePixelRatio(ratio);
    m_bitmap.fill(Qt::transparent);
    begin(&m_bitmap);
    if (target->devType() == QInternal::Widget) {
        // Start from the widget's font and pen like a painter on the widget.
        auto* widget = static_cast<QWidget*>(target);
        setFont(widget->font());
        setPen(widget->palette().color(widget->foregroundRole()));
    }
    // Drawing in the target's coordinates lands at the right place.
    translate(-m_rect.left(), -m_rect.top());
}

CBufferedDC::~CBufferedDC()
{
    if (isActive()) {
        end();
    }
    if (m_bOffscreen && !m_bitmap.isNull()) {
        QPainter target(m_pTarget);
        target.drawImage(m_rect.topLeft(), m_bitmap);
    }
}
