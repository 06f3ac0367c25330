#pragma once
// Helpers shared by the widget tests.

#include <QApplication>
#include <QColor>
#include <QImage>
#include <QRect>
#include <QSet>
#include <QWidget>

namespace testsupport {

// The picture of a widget as rendered now (all of it repainted).
inline QImage Render(QWidget& widget, const QRect& area = QRect())
{
    return widget.grab(area.isNull() ? widget.rect() : area).toImage().convertToFormat(QImage::Format_RGB32);
}

// The distinct colours in an area of an image.
inline QSet<QRgb> ColorsIn(const QImage& image, const QRect& area)
{
    QSet<QRgb> colors;
    const QRect r = area.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
            colors.insert(image.pixel(x, y) | 0xFF000000u);
        }
    }
    return colors;
}

// Bounding box of the pixels of one colour.
inline QRect BoundsOf(const QImage& image, QRgb color, const QRect& area = QRect())
{
    const QRect r = area.isNull() ? image.rect() : area.intersected(image.rect());
    QRect box;
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
            if ((image.pixel(x, y) | 0xFF000000u) == (color | 0xFF000000u)) {
                box |= QRect(x, y, 1, 1);
            }
        }
    }
    return box;
}

} // namespace testsupport
