// widgets_bench: prints the cost of the display widgets' hot operations.
// Runs offscreen unless QT_QPA_PLATFORM says otherwise.

#include "res/ResourceIds.h"
#include "widgets/BackdropDialog.h"
#include "widgets/DibImage.h"
#include "widgets/PercentBar.h"
#include "widgets/ShapedButton.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>

#include <chrono>
#include <cstdio>
#include <functional>

namespace {

double NsPer(int count, const std::function<void()>& work)
{
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        work();
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
    return static_cast<double>(ns.count()) / count;
}

void Report(const char* what, double ns)
{
    if (ns >= 1e6) {
        std::printf("%-58s %10.3f ms\n", what, ns / 1e6);
    } else if (ns >= 1e3) {
        std::printf("%-58s %10.3f us\n", what, ns / 1e3);
    } else {
        std::printf("%-58s %10.1f ns\n", what, ns);
    }
}

QImage Checker(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            image.setPixel(x, y, (x + y) % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
        }
    }
    return image;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);

    // Percent bar: a position update that does not change the bar's width
    // in pixels and one that does.
    CPercentBar bar;
    bar.resize(305, 33);
    bar.SetRange(0, 1000000);
    bar.show();
    QCoreApplication::processEvents();
    int pos = 0;
    Report("SetPos, same bar width", NsPer(200000, [&] { bar.SetPos(++pos % 100); }));
    bar.SetRange(0, 100);
    int flip = 0;
    Report("SetPos, new bar width: synchronous repaint", NsPer(2000, [&] { bar.SetPos((flip ^= 1) ? 10 : 90); }));

    if (QFile::exists(QStringLiteral(":/bitmap/163"))) {
        CDibImage dib;
        Report("CDibImage::LoadFromResource(IDB_BACKDROP), 440x456x8", NsPer(50, [&] { dib.LoadFromResource(IDB_BACKDROP); }));

        CBackdropDialog dialog;
        dialog.resize(440, 456);
        dialog.SetBackdropBitmap(IDB_BACKDROP, Stretch);
        Report("backdrop Stretch, full paint 440x456", NsPer(200, [&] { (void)dialog.grab(); }));
        dialog.resize(660, 684);
        Report("backdrop Stretch, full paint 660x684 (scaled)", NsPer(100, [&] { (void)dialog.grab(); }));
        Report("backdrop Stretch, 305x33 strip of 660x684", NsPer(2000, [&] { (void)dialog.grab(QRect(68, 380, 305, 33)); }));
        dialog.SetBackdropBitmap(IDB_BACKDROP, Tile);
        Report("backdrop Tile, full paint 660x684", NsPer(100, [&] { (void)dialog.grab(); }));
    }

    const QImage corners = [] {
        QImage m(95, 30, QImage::Format_RGB32);
        m.fill(qRgb(0, 0, 0));
        for (QPoint p : {QPoint(0, 0), QPoint(94, 0), QPoint(0, 29), QPoint(94, 29)}) {
            m.setPixel(p, qRgb(255, 255, 255));
        }
        return m;
    }();
    Report("RegionFromMask 95x30, corners cut (30 rectangles)",
           NsPer(2000, [&] { (void)CShapedButton::RegionFromMask(corners, qRgb(255, 255, 255)); }));
    const QImage checker = Checker(200, 100);
    Report("RegionFromMask 200x100 checkerboard (10000 rectangles)",
           NsPer(5, [&] { (void)CShapedButton::RegionFromMask(checker, qRgb(255, 255, 255)); }));

    CShapedButton button;
    button.SetBitmapImages(corners, corners, corners, {}, corners, corners, DrawAsIs, 0, 0);
    button.setText(QStringLiteral("continue"));
    Report("CShapedButton paint 95x30 through the mask", NsPer(2000, [&] { (void)button.grab(); }));
    return 0;
}
