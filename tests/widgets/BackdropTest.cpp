// Backdrop dialog placement, dragging and colours, and the colour labels
// on it.

#include "res/ResourceIds.h"
#include "WidgetTestSupport.h"

#include "widgets/BackdropDialog.h"
#include "widgets/ColorLabel.h"
#include "widgets/LightPalette.h"
#include "widgets/PercentBar.h"
#include "widgets/ShapedButton.h"

#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QMouseEvent>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QWindow>
#include <QtTest>

namespace {

// A backdrop with a picture the test chooses instead of a resource.
class TestDialog : public CBackdropDialog {
public:
    void UseImage(const QImage& image, int mode)
    {
        QVERIFY(m_image.CreateFromBitmap(image));
        m_mode = mode;
        m_hasBackdrop = true;
        update();
    }
};

// Every pixel tells where it comes from: red = x, green = y.
QImage CoordinateImage(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setPixel(x, y, qRgb(x % 256, y % 256, 77));
        }
    }
    return image;
}

void SendMouse(QWidget& widget, QEvent::Type type, QPoint local, Qt::MouseButton button, Qt::MouseButtons buttons,
               Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QMouseEvent event(type, QPointF(local), QPointF(widget.mapToGlobal(local)), button, buttons, modifiers);
    QApplication::sendEvent(&widget, &event);
}

// What the window system shows of a top-level widget: its backing store.
QImage OnScreen(QWidget& window)
{
    return window.screen()->grabWindow(window.winId()).toImage().convertToFormat(QImage::Format_RGB32);
}

} // namespace

class BackdropTest : public QObject {
    Q_OBJECT
private slots:
    void tileRepeatsFromTopLeft();
    void stretchFollowsClientSize();
    void centerCropsLargerImageEqually();
    void centerSmallImageOnPlainBackground();
    void resourceBackdropAndUnknownId();
    void leftDragAloneMovesWindow();
    void labelFontFallsBackWhenFaceMissing();
    void labelShowsPlainTextAndLeavesNoRemnant();
    void opaqueLabelFillsItsBackground();
    void lightPaletteIsQtsDefault();
};

void BackdropTest::tileRepeatsFromTopLeft()
{
    TestDialog dlg;
    dlg.resize(250, 120);
    dlg.UseImage(CoordinateImage(100, 50), Tile);
    const QImage shot = testsupport::Render(dlg);
    for (int y = 0; y < 120; y += 7) {
        for (int x = 0; x < 250; x += 9) {
            QCOMPARE(shot.pixel(x, y), qRgb(x % 100, y % 50, 77));
        }
    }
    QCOMPARE(shot.pixel(249, 119), qRgb(49, 19, 77));

    // An image larger than the window is drawn once, cropped right and bottom.
    dlg.UseImage(CoordinateImage(300, 200), Tile);
    const QImage big = testsupport::Render(dlg);
    QCOMPARE(big.pixel(0, 0), qRgb(0, 0, 77));
    QCOMPARE(big.pixel(249, 119), qRgb(249, 119, 77));
}

void BackdropTest::stretchFollowsClientSize()
{
    TestDialog dlg;
    dlg.resize(200, 100);
    dlg.UseImage(CoordinateImage(100, 50), Stretch);
    QImage shot = testsupport::Render(dlg);
    QCOMPARE(shot.pixel(0, 0), qRgb(0, 0, 77));
    QCOMPARE(shot.pixel(2 * 37, 2 * 21), qRgb(37, 21, 77));
    QCOMPARE(shot.pixel(199, 99), qRgb(99, 49, 77));

    dlg.resize(300, 150);
    shot = testsupport::Render(dlg);
    QCOMPARE(shot.pixel(3 * 37 + 1, 3 * 21 + 1), qRgb(37, 21, 77));
    QCOMPARE(shot.pixel(299, 149), qRgb(99, 49, 77));
}

void BackdropTest::centerCropsLargerImageEqually()
{
    TestDialog dlg;
    dlg.resize(100, 60);
    // 147 pixels wider than the window: x offset trunc(-73.5) = -73.
    dlg.UseImage(CoordinateImage(247, 60), Center);
    const QImage shot = testsupport::Render(dlg);
    QCOMPARE(shot.pixel(0, 0), qRgb(73, 0, 77));
    QCOMPARE(shot.pixel(99, 59), qRgb(172, 59, 77));
}

void BackdropTest::centerSmallImageOnPlainBackground()
{
    TestDialog dlg;
    dlg.resize(101, 60);
    dlg.UseImage(CoordinateImage(40, 20), Center);
    const QImage shot = testsupport::Render(dlg);
    // (101 - 40) / 2 = 30, (60 - 20) / 2 = 20
    QCOMPARE(shot.pixel(30, 20), qRgb(0, 0, 77));
    QCOMPARE(shot.pixel(69, 39), qRgb(39, 19, 77));
    const QRgb plain = dlg.palette().color(QPalette::Window).rgb();
    QCOMPARE(shot.pixel(29, 20), plain);
    QCOMPARE(shot.pixel(70, 39), plain);
    QCOMPARE(shot.pixel(30, 40), plain);

    // An unknown mode paints only the plain background.
    dlg.UseImage(CoordinateImage(40, 20), 7);
    QCOMPARE(testsupport::ColorsIn(testsupport::Render(dlg), QRect(0, 0, 101, 60)), QSet<QRgb>{plain});
}

void BackdropTest::resourceBackdropAndUnknownId()
{
    if (!QFile::exists(QStringLiteral(":/bitmap/163"))) {
        QSKIP("bitmap 163 is not built in");
    }
    CBackdropDialog dlg;
    QVERIFY(!dlg.HasBackdrop());
    dlg.resize(440, 456);
    QVERIFY(dlg.SetBackdropBitmap(IDB_BACKDROP, Stretch));
    QVERIFY(dlg.HasBackdrop());
    const QImage reference = QImage(QStringLiteral(":/bitmap/163")).convertToFormat(QImage::Format_RGB32);
    QImage shot = testsupport::Render(dlg);
    QCOMPARE(shot.copy(0, 0, 440, 456), reference);

    // A failed load keeps the previous picture; the mode still changes.
    QVERIFY(!dlg.SetBackdropBitmap(9999, Tile));
    QCOMPARE(dlg.BackdropModeValue(), int(Tile));
    QCOMPARE(dlg.BackdropImage().Width(), 440);

    CBackdropDialog none;
    none.resize(50, 50);
    QVERIFY(!none.SetBackdropBitmap(9999, Stretch));
    const QRgb plain = none.palette().color(QPalette::Window).rgb();
    QCOMPARE(testsupport::ColorsIn(testsupport::Render(none), QRect(0, 0, 50, 50)), QSet<QRgb>{plain});
}

void BackdropTest::leftDragAloneMovesWindow()
{
    TestDialog dlg;
    dlg.resize(200, 150);
    dlg.UseImage(CoordinateImage(10, 10), Tile);
    dlg.move(100, 100);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    const QPoint start = dlg.pos();

    // Ctrl held, or a second button held: nothing moves.
    SendMouse(dlg, QEvent::MouseButtonPress, QPoint(50, 50), Qt::LeftButton, Qt::LeftButton, Qt::ControlModifier);
    SendMouse(dlg, QEvent::MouseMove, QPoint(80, 70), Qt::NoButton, Qt::LeftButton, Qt::ControlModifier);
    SendMouse(dlg, QEvent::MouseMove, QPoint(80, 70), Qt::NoButton, Qt::LeftButton | Qt::RightButton);
    SendMouse(dlg, QEvent::MouseMove, QPoint(90, 75), Qt::NoButton, Qt::LeftButton, Qt::ShiftModifier);
    SendMouse(dlg, QEvent::MouseButtonRelease, QPoint(80, 70), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(dlg.pos(), start);
    SendMouse(dlg, QEvent::MouseButtonPress, QPoint(50, 50), Qt::RightButton, Qt::RightButton);
    SendMouse(dlg, QEvent::MouseMove, QPoint(80, 70), Qt::NoButton, Qt::RightButton);
    SendMouse(dlg, QEvent::MouseButtonRelease, QPoint(80, 70), Qt::RightButton, Qt::NoButton);
    QCOMPARE(dlg.pos(), start);

    // The left button alone drags the window along with the cursor, unless
    // the window system took the move over.
    SendMouse(dlg, QEvent::MouseButtonPress, QPoint(50, 50), Qt::LeftButton, Qt::LeftButton);
    QMouseEvent move(QEvent::MouseMove, QPointF(80, 70), QPointF(dlg.mapToGlobal(QPoint(80, 70))), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&dlg, &move);
    SendMouse(dlg, QEvent::MouseButtonRelease, QPoint(50, 50), Qt::LeftButton, Qt::NoButton);
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        return;
    }
    QCOMPARE(dlg.pos(), start + QPoint(30, 20));

    // Through the window system's path, which picks the child under the
    // cursor: a drag that starts on a label moves the window too, one that
    // starts on a button or on the bar does not (their moves are theirs).
    CColorLabel label(&dlg);
    label.setGeometry(10, 10, 100, 20);
    CShapedButton button(&dlg);
    button.setGeometry(120, 10, 60, 25);
    CPercentBar bar(&dlg);
    bar.setGeometry(10, 100, 180, 20);
    for (QWidget* child : std::initializer_list<QWidget*>{&label, &button, &bar}) {
        child->show();
        const QPoint from = child->geometry().topLeft() + QPoint(5, 5);
        const QPoint before = dlg.pos();
        QTest::mousePress(dlg.windowHandle(), Qt::LeftButton, {}, from);
        QTest::mouseMove(dlg.windowHandle(), from + QPoint(10, 3));
        const QPoint moved = dlg.pos() - before;
        // Released where the cursor is, in the coordinates of the moved window.
        QTest::mouseRelease(dlg.windowHandle(), Qt::LeftButton, {}, from + QPoint(10, 3) - moved);
        QCOMPARE(moved, child == &label ? QPoint(10, 3) : QPoint());
        QCOMPARE(dlg.pos() - before, moved);
    }
}

void BackdropTest::labelFontFallsBackWhenFaceMissing()
{
    const QString fallback = CColorLabel::ResolveFace(QStringLiteral("No Such Face 4711"));
    QVERIFY(QFontDatabase::hasFamily(fallback));
    const QString installed = QFontDatabase::families().value(0);
    QCOMPARE(CColorLabel::ResolveFace(installed), installed);

    CColorLabel label;
    QVERIFY(label.SetLabelFont(9, true, false, QStringLiteral("Tahoma")));
    const QFont font = label.font();
    QCOMPARE(font.pixelSize(), int(std::lround(9.0 * label.logicalDpiY() / 72.0)));
    QCOMPARE(font.weight(), QFont::Bold);
    QVERIFY(!font.italic());
    QVERIFY(QFontDatabase::hasFamily(QFontInfo(font).family()));

    QVERIFY(label.SetLabelFont(9, false, true, QStringLiteral("No Such Face 4711")));
    QCOMPARE(label.font().weight(), QFont::Normal);
    QVERIFY(label.font().italic());
    QCOMPARE(label.font().families().value(0), fallback);
}

void BackdropTest::labelShowsPlainTextAndLeavesNoRemnant()
{
    TestDialog dlg;
    dlg.resize(300, 120);
    dlg.UseImage(CoordinateImage(300, 120), Stretch);
    CColorLabel label(&dlg);
    label.setGeometry(10, 40, 280, 30);
    label.setAlignment(Qt::AlignCenter);
    label.SetLabelFont(14, true, false, QStringLiteral("Tahoma"));
    label.SetLabelTextColor(QColor(10, 39, 204));
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));

    label.SetLabelText(QStringLiteral("A much longer text WWWWWWWWWWWW"));
    QImage screen = OnScreen(dlg);
    QVERIFY(testsupport::ColorsIn(screen, QRect(15, 40, 30, 30)).contains(qRgb(10, 39, 204)));

    label.SetLabelText(QStringLiteral("i"));
    screen = OnScreen(dlg);
    // Left and right of the short text only the backdrop is left.
    for (int y = 40; y < 70; ++y) {
        for (int x = 10; x < 130; ++x) {
            QCOMPARE(screen.pixel(x, y), qRgb(x % 256, y, 77));
        }
        for (int x = 170; x < 290; ++x) {
            QCOMPARE(screen.pixel(x, y), qRgb(x % 256, y, 77));
        }
    }
    QVERIFY(testsupport::ColorsIn(screen, QRect(130, 40, 40, 30)).contains(qRgb(10, 39, 204)));

    // The same text again still repaints.
    label.SetLabelText(QStringLiteral("i"));
    QCOMPARE(label.text(), QStringLiteral("i"));

    // Text from a file or a device is never markup: tags show as written
    // and an image tag loads nothing.
    const QRect area = label.geometry();
    label.SetLabelText(QStringLiteral("UNIT"));
    const int plainWidth = testsupport::BoundsOf(OnScreen(dlg), qRgb(10, 39, 204), area).width();
    label.SetLabelText(QStringLiteral("<s>UNIT</s>"));
    const QRect tagged = testsupport::BoundsOf(OnScreen(dlg), qRgb(10, 39, 204), area);
    QVERIFY2(tagged.width() > plainWidth + 20, qPrintable(QString::number(tagged.width())));
    QTemporaryDir dir;
    const QString picture = dir.filePath(QStringLiteral("p.png"));
    QImage marker(40, 20, QImage::Format_RGB32);
    marker.fill(qRgb(1, 254, 3));
    QVERIFY(marker.save(picture));
    label.SetLabelText(QStringLiteral("<img src=\"%1\">").arg(picture));
    screen = OnScreen(dlg);
    QVERIFY(!testsupport::ColorsIn(screen, area).contains(qRgb(1, 254, 3)));
    QVERIFY(testsupport::ColorsIn(screen, area).contains(qRgb(10, 39, 204)));
}

void BackdropTest::opaqueLabelFillsItsBackground()
{
    TestDialog dlg;
    dlg.resize(200, 60);
    dlg.UseImage(CoordinateImage(200, 60), Stretch);
    CColorLabel label(&dlg);
    label.setGeometry(10, 10, 100, 20);
    QVERIFY(label.IsTransparent());
    QCOMPARE(testsupport::Render(dlg).pixel(12, 12), qRgb(12, 12, 77));
    label.SetTransparent(false);
    QCOMPARE(testsupport::Render(dlg).pixel(12, 12), label.LabelBackColor().rgb());
    label.SetTransparent(true);
    QCOMPARE(testsupport::Render(dlg).pixel(12, 12), qRgb(12, 12, 77));
}

void BackdropTest::lightPaletteIsQtsDefault()
{
    // Every colour of every group as the Fusion style gives it with no
    // desktop theme (offscreen), not an approximation of it.
    std::unique_ptr<QStyle> fusion(QStyleFactory::create(QStringLiteral("Fusion")));
    QVERIFY(fusion);
    const QPalette qt = fusion->standardPalette();
    const QPalette ours = LightPalette();
    for (int group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        for (int role = 0; role < QPalette::NColorRoles; ++role) {
            const auto g = static_cast<QPalette::ColorGroup>(group);
            const auto r = static_cast<QPalette::ColorRole>(role);
            QVERIFY2(ours.color(g, r).rgba() == qt.color(g, r).rgba(),
                     qPrintable(QStringLiteral("group %1 role %2: %3, Qt's %4")
                                    .arg(group)
                                    .arg(role)
                                    .arg(ours.color(g, r).name(QColor::HexArgb), qt.color(g, r).name(QColor::HexArgb))));
        }
    }
}

QTEST_MAIN(BackdropTest)
#include "BackdropTest.moc"
