#pragma once
// Helpers shared by the widget tests.

#include <QApplication>
#include <QColor>
#include <QElapsedTimer>
#include <QImage>
#include <QRect>
#include <QSet>
#include <QWidget>

#include <atomic>
#include <functional>
#include <thread>

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

// Runs work on a worker thread while this (GUI) thread keeps its event
// loop going; returns when the worker has finished.
inline bool RunOnWorker(const std::function<void()>& work, int timeoutMs = 20000)
{
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done = true;
    });
    QElapsedTimer timer;
    timer.start();
    while (!done && timer.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    const bool finished = done;
    if (!finished) {
        // Let the worker finish anyway so the thread can be joined.
        while (!done) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
    }
    worker.join();
    return finished;
}

} // namespace testsupport
