#pragma once
// A painter that stands in for a target paint device during one paint:
// everything drawn on it goes to an off-screen image covering only the
// given clip rectangle (in the target's coordinates), and that image is
// copied to the target once, when the CBufferedDC is destroyed. The target
// therefore never shows half-drawn states. On a printer no image is made
// and drawing goes straight to the printer.
//
// Use on the stack of a paint handler:
//     CBufferedDC dc(this, event->rect());
//     dc.fillRect(...);

#include <QImage>
#include <QPainter>
#include <QRect>

class QPaintDevice;

class CBufferedDC : public QPainter {
public:
    CBufferedDC(QPaintDevice* target, const QRect& clipBox);
    ~CBufferedDC();
    CBufferedDC(const CBufferedDC&) = delete;
    CBufferedDC& operator=(const CBufferedDC&) = delete;

    bool IsOffscreen() const { return m_bOffscreen; }
    // The area covered, in the target's coordinates.
    const QRect& CoveredRect() const { return m_rect; }
    // The off-screen image (null for a printer target).
    const QImage& Bitmap() const { return m_bitmap; }

private:
    QImage m_bitmap;
    QPaintDevice* m_pTarget;
    QRect m_rect;
    bool m_bOffscreen;
};
