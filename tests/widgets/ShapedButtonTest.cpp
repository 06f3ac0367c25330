// The shaped bitmap button: region from the mask, faces per state and click
// semantics.

#include "res/ResourceIds.h"
#include "WidgetTestSupport.h"

#include "widgets/ShapedButton.h"

#include <QFile>
#include <QMouseEvent>
#include <QScreen>
#include <QSignalSpy>
#include <QtTest>

namespace {

const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kBehind = qRgb(255, 0, 255);
const QRgb kNormal = qRgb(200, 0, 0);
const QRgb kDown = qRgb(0, 160, 0);
const QRgb kHover = qRgb(0, 0, 220);
const QRgb kFocus = qRgb(220, 220, 0);
const QRgb kDisabled = qRgb(40, 40, 40);

QImage Solid(QRgb color, int w = 95, int h = 30)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(color);
    return image;
}

// Black everywhere except the four corner pixels, which are white.
QImage CornerMask(int w = 95, int h = 30)
{
    QImage mask = Solid(qRgb(0, 0, 0), w, h);
    mask.setPixel(0, 0, kWhite);
    mask.setPixel(w - 1, 0, kWhite);
    mask.setPixel(0, h - 1, kWhite);
    mask.setPixel(w - 1, h - 1, kWhite);
    return mask;
}

void SendMouse(QWidget& widget, QEvent::Type type, QPoint local, Qt::MouseButton button, Qt::MouseButtons buttons)
{
    QMouseEvent event(type, QPointF(local), QPointF(widget.mapToGlobal(local)), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}

// A window with a magenta background and one button at (10, 10).
struct Stage {
    QWidget window;
    CShapedButton* button;

    explicit Stage(int kind = CheckKindPush)
    {
        window.resize(200, 100);
        window.setAutoFillBackground(true);
        QPalette pal = window.palette();
        pal.setColor(QPalette::Window, QColor(kBehind));
        window.setPalette(pal);
        button = new CShapedButton(&window, kind);
        button->move(10, 10);
        button->SetBitmapImages(Solid(kNormal), Solid(kDown), Solid(kHover), Solid(kDisabled), Solid(kFocus),
                                CornerMask(), DrawAsIs, 0, 0);
        QFont font = button->font();
        font.setPixelSize(14);
        font.setStyleStrategy(QFont::NoAntialias);
        button->setFont(font);
    }
    bool Show()
    {
        window.show();
        window.activateWindow();
        return QTest::qWaitForWindowActive(&window);
    }
    // The button's area as the window draws it.
    QImage Shot() { return testsupport::Render(window, QRect(10, 10, 95, 30)); }
};

} // namespace

class ShapedButtonTest : public QObject {
    Q_OBJECT
private slots:
    void cornerMaskGivesThirtyRowRectangles();
    void resourceMaskAndFaces();
    void lastPixelRunAndManyHoles();
    void whiteMaskLeavesNothingVisibleOrClickable();
    void facesPerState();
    void disabledTextIsEmbossedAndPressedTextOffset();
    void pushedLookFollowsCursor();
    void releaseOutsideDoesNotClick();
    void doubleClickGivesTwoClicks();
    void losingFocusWhileHeldLetsGo();
    void checkAndRadioKinds();
};

void ShapedButtonTest::cornerMaskGivesThirtyRowRectangles()
{
    const CMaskRectList rects = CShapedButton::MaskRects(CornerMask(), kWhite);
    QCOMPARE(rects.Count(), 30);
    QCOMPARE(rects.Capacity(), 40);
    // Bottom row first, one rectangle per row, corners cut in rows 0 and 29.
    QCOMPARE(rects[0], QRect(QPoint(1, 29), QPoint(93, 29)));
    for (int i = 1; i < 29; ++i) {
        QCOMPARE(rects[i], QRect(0, 29 - i, 95, 1));
    }
    QCOMPARE(rects[29], QRect(QPoint(1, 0), QPoint(93, 0)));

    const QRegion region = *CShapedButton::RegionFromMask(CornerMask(), kWhite);
    QVERIFY(!region.contains(QPoint(0, 0)));
    QVERIFY(!region.contains(QPoint(94, 0)));
    QVERIFY(!region.contains(QPoint(0, 29)));
    QVERIFY(!region.contains(QPoint(94, 29)));
    QVERIFY(region.contains(QPoint(1, 0)));
    QVERIFY(region.contains(QPoint(0, 1)));
    QVERIFY(region.contains(QPoint(93, 29)));
    QCOMPARE(region.boundingRect(), QRect(0, 0, 95, 30));

    QVERIFY(!CShapedButton::RegionFromMask(QImage(), kWhite).has_value());
}

void ShapedButtonTest::resourceMaskAndFaces()
{
    if (!QFile::exists(QStringLiteral(":/bitmap/147")) || !QFile::exists(QStringLiteral(":/bitmap/164"))) {
        QSKIP("button bitmaps are not built in");
    }
    const QImage mask(QStringLiteral(":/bitmap/147"));
    QCOMPARE(CShapedButton::MaskRects(mask, kWhite).ToVector(), CShapedButton::MaskRects(CornerMask(), kWhite).ToVector());

    QWidget window;
    window.resize(200, 100);
    CShapedButton button(&window);
    button.resize(63, 19);
    button.SetBitmaps(IDB_BUTTON, IDB_BUTTON_PRESSED, IDB_BUTTON_HOVER, 0, IDB_BUTTON_HOVER, IDB_BUTTON_MASK, DrawAsIs, 0, 0);
    QCOMPARE(button.size(), QSize(95, 30));
    QVERIFY(button.HasRegion());
    QCOMPARE(button.mask(), button.Region());
    QVERIFY(!button.mask().contains(QPoint(0, 0)));
    const QImage shot = testsupport::Render(button);
    const QImage normal = QImage(QStringLiteral(":/bitmap/164")).convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shot.pixel(3, 3), normal.pixel(3, 3));
    QCOMPARE(shot.pixel(90, 26), normal.pixel(90, 26));

    // Disabled ID 0 takes the normal face; an ID that cannot be loaded
    // leaves the disabled face empty, filled with the button colour.
    button.setEnabled(false);
    QCOMPARE(testsupport::Render(button).pixel(3, 3), normal.pixel(3, 3));
    button.SetBitmaps(IDB_BUTTON, IDB_BUTTON_PRESSED, IDB_BUTTON_HOVER, 9999, IDB_BUTTON_HOVER, IDB_BUTTON_MASK, DrawAsIs, 0, 0);
    QCOMPARE(testsupport::Render(button).pixel(3, 3), button.palette().color(QPalette::Button).rgb());
    button.setEnabled(true);

    // Without a mask ID the button keeps its shape and size.
    button.resize(120, 40);
    button.SetBitmaps(IDB_BUTTON, IDB_BUTTON_PRESSED, IDB_BUTTON_HOVER, 0, IDB_BUTTON_HOVER, 0, DrawAsIs, 0, 0);
    QCOMPARE(button.size(), QSize(120, 40));
    QVERIFY(button.HasRegion());
}

void ShapedButtonTest::lastPixelRunAndManyHoles()
{
    QImage lastOnly = Solid(kWhite, 10, 3);
    lastOnly.setPixel(9, 1, qRgb(0, 0, 0));
    const CMaskRectList one = CShapedButton::MaskRects(lastOnly, kWhite);
    QCOMPARE(one.Count(), 1);
    QCOMPARE(one[0], QRect(9, 1, 1, 1));

    // Every other pixel is a hole: 50 runs per row, 10 rows.
    QImage holes = Solid(qRgb(0, 0, 0), 100, 10);
    for (int y = 0; y < 10; ++y) {
        for (int x = (y % 2); x < 100; x += 2) {
            holes.setPixel(x, y, kWhite);
        }
    }
    const CMaskRectList rects = CShapedButton::MaskRects(holes, kWhite);
    QCOMPARE(rects.Count(), 500);
    QCOMPARE(rects.Capacity(), 520);   // grown in steps of 40
    const QRegion region = *CShapedButton::RegionFromMask(holes, kWhite);
    int area = 0;
    for (const QRect& r : region) {
        area += r.width() * r.height();
    }
    QCOMPARE(area, 500);
    for (int y = 0; y < 10; ++y) {
        for (int x = 0; x < 100; ++x) {
            QCOMPARE(region.contains(QPoint(x, y)), holes.pixel(x, y) != kWhite);
        }
    }
}

void ShapedButtonTest::whiteMaskLeavesNothingVisibleOrClickable()
{
    Stage stage;
    stage.button->SetBitmapImages(Solid(kNormal), Solid(kDown), {}, {}, {}, Solid(kWhite), DrawAsIs, 0, 0);
    QVERIFY(stage.button->HasRegion());
    QVERIFY(stage.button->Region().isEmpty());
    QVERIFY(!stage.button->mask().contains(QPoint(40, 15)));
    QVERIFY(stage.Show());
    // Mouse input at the button's place goes to the window, not to it.
    QCOMPARE(stage.window.childAt(50, 25), nullptr);
    QCOMPARE(testsupport::ColorsIn(stage.Shot(), QRect(0, 0, 95, 30)), QSet<QRgb>{kBehind});
    QSignalSpy clicked(stage.button, &QAbstractButton::clicked);
    QTest::mouseClick(stage.button, Qt::LeftButton, {}, QPoint(40, 15));
    QCOMPARE(clicked.count(), 0);
}

void ShapedButtonTest::facesPerState()
{
    Stage stage;
    QCOMPARE(stage.button->size(), QSize(95, 30));
    QVERIFY(stage.Show());
    stage.window.setFocus();
    QImage shot = stage.Shot();
    QCOMPARE(shot.pixel(5, 5), kNormal);
    // The masked corners show what lies behind.
    QCOMPARE(shot.pixel(0, 0), kBehind);
    QCOMPARE(shot.pixel(94, 29), kBehind);
    QCOMPARE(shot.pixel(1, 0), kNormal);

    // Hover: the first move over the button.
    SendMouse(*stage.button, QEvent::MouseMove, QPoint(40, 15), Qt::NoButton, Qt::NoButton);
    QVERIFY(stage.button->IsHover());
    QCOMPARE(stage.Shot().pixel(5, 5), kHover);

    // Pressed: the press ends the hover look.
    SendMouse(*stage.button, QEvent::MouseButtonPress, QPoint(40, 15), Qt::LeftButton, Qt::LeftButton);
    QVERIFY(!stage.button->IsHover());
    QCOMPARE(stage.Shot().pixel(5, 5), kDown);
    SendMouse(*stage.button, QEvent::MouseButtonRelease, QPoint(40, 15), Qt::LeftButton, Qt::NoButton);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(stage.button, &leave);
    QVERIFY(!stage.button->IsHover());

    // Focus.
    stage.button->setFocus();
    QVERIFY(stage.button->hasFocus());
    QCOMPARE(stage.Shot().pixel(5, 5), kFocus);

    // Disabled.
    stage.button->setEnabled(false);
    QCOMPARE(stage.Shot().pixel(5, 5), kDisabled);

    // A missing disabled face takes the normal one; a missing normal face
    // is filled with the button colour.
    stage.button->SetBitmapImages(Solid(kNormal), {}, {}, {}, {}, CornerMask(), DrawAsIs, 0, 0);
    QCOMPARE(stage.Shot().pixel(5, 5), kNormal);
    stage.button->setEnabled(true);
    stage.button->SetBitmapImages({}, {}, {}, {}, {}, CornerMask(), DrawAsIs, 0, 0);
    QCOMPARE(stage.Shot().pixel(5, 5), stage.button->palette().color(QPalette::Button).rgb());

    // Stretch: the mask is stretched from the face's full size like the
    // face, so of a mask twice the face's size only the top-left quarter
    // counts, doubled: its white pixel (3, 3) clears (6..7, 6..7).
    QImage bigMask = Solid(qRgb(0, 0, 0), 190, 60);
    bigMask.setPixel(3, 3, kWhite);
    stage.button->SetBitmapImages(Solid(kNormal), {}, {}, {}, {}, bigMask, DrawStretch, 0, 0);
    stage.button->resize(190, 60);
    const QImage stretched = testsupport::Render(stage.window, QRect(10, 10, 190, 60));
    QCOMPARE(stretched.pixel(3, 3), kBehind);   // outside the region
    QCOMPARE(stretched.pixel(6, 6), kBehind);
    QCOMPARE(stretched.pixel(7, 7), kBehind);
    QCOMPARE(stretched.pixel(8, 8), kNormal);
    QCOMPARE(stretched.pixel(150, 50), kNormal);
}

void ShapedButtonTest::disabledTextIsEmbossedAndPressedTextOffset()
{
    Stage stage;
    stage.button->setText(QStringLiteral("WWW"));
    stage.button->SetTextColor(QColor(1, 2, 3));
    QVERIFY(stage.Show());
    stage.window.setFocus();
    const QRect normalText = testsupport::BoundsOf(stage.Shot(), qRgb(1, 2, 3));
    QVERIFY(!normalText.isEmpty());
    QVERIFY(qAbs(normalText.center().x() - 47) <= 2);

    SendMouse(*stage.button, QEvent::MouseButtonPress, QPoint(40, 15), Qt::LeftButton, Qt::LeftButton);
    const QRect pressedText = testsupport::BoundsOf(stage.Shot(), qRgb(1, 2, 3));
    QCOMPARE(pressedText, normalText.translated(1, 1));
    SendMouse(*stage.button, QEvent::MouseButtonRelease, QPoint(40, 15), Qt::LeftButton, Qt::NoButton);

    stage.button->setEnabled(false);
    const QPalette& pal = stage.button->palette();
    const QImage shot = stage.Shot();
    const QRect light = testsupport::BoundsOf(shot, pal.color(QPalette::Active, QPalette::Light).rgb());
    const QRect grey = testsupport::BoundsOf(shot, pal.color(QPalette::Disabled, QPalette::WindowText).rgb());
    QVERIFY(!light.isEmpty());
    QVERIFY(!grey.isEmpty());
    QCOMPARE(light.topLeft(), normalText.topLeft());
    QCOMPARE(grey.topLeft(), normalText.topLeft() - QPoint(1, 1));
}

void ShapedButtonTest::pushedLookFollowsCursor()
{
    Stage stage;
    QVERIFY(stage.Show());
    QSignalSpy clicked(stage.button, &QAbstractButton::clicked);
    SendMouse(*stage.button, QEvent::MouseButtonPress, QPoint(40, 15), Qt::LeftButton, Qt::LeftButton);
    QVERIFY(stage.button->isDown());
    QVERIFY(stage.button->IsLButtonDown());
    SendMouse(*stage.button, QEvent::MouseMove, QPoint(150, 60), Qt::NoButton, Qt::LeftButton);
    QVERIFY(!stage.button->isDown());
    // The press gave it the focus: the released look is the focus face.
    QVERIFY(stage.button->hasFocus());
    QCOMPARE(stage.Shot().pixel(5, 5), kFocus);
    // A masked corner counts as outside.
    SendMouse(*stage.button, QEvent::MouseMove, QPoint(0, 0), Qt::NoButton, Qt::LeftButton);
    QVERIFY(!stage.button->isDown());
    SendMouse(*stage.button, QEvent::MouseMove, QPoint(30, 12), Qt::NoButton, Qt::LeftButton);
    QVERIFY(stage.button->isDown());
    QCOMPARE(stage.Shot().pixel(5, 5), kDown);
    SendMouse(*stage.button, QEvent::MouseButtonRelease, QPoint(30, 12), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(clicked.count(), 1);
    QVERIFY(!stage.button->isDown());
    QVERIFY(!stage.button->IsLButtonDown());
}

void ShapedButtonTest::releaseOutsideDoesNotClick()
{
    Stage stage;
    QVERIFY(stage.Show());
    QSignalSpy clicked(stage.button, &QAbstractButton::clicked);
    SendMouse(*stage.button, QEvent::MouseButtonPress, QPoint(40, 15), Qt::LeftButton, Qt::LeftButton);
    SendMouse(*stage.button, QEvent::MouseMove, QPoint(150, 60), Qt::NoButton, Qt::LeftButton);
    SendMouse(*stage.button, QEvent::MouseButtonRelease, QPoint(150, 60), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(clicked.count(), 0);
    // Released on a cut corner.
    SendMouse(*stage.button, QEvent::MouseButtonPress, QPoint(40, 15), Qt::LeftButton, Qt::LeftButton);
    SendMouse(*stage.button, QEvent::MouseButtonRelease, QPoint(94, 29), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(clicked.count(), 0);
    QVERIFY(!stage.button->isDown());
    // A press on a cut corner does not push it.
    SendMouse(*stage.button, QEvent::MouseButtonPress, QPoint(0, 0), Qt::LeftButton, Qt::LeftButton);
    QVERIFY(!stage.button->isDown());
    SendMouse(*stage.button, QEvent::MouseButtonRelease, QPoint(0, 0), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(clicked.count(), 0);
}

void ShapedButtonTest::doubleClickGivesTwoClicks()
{
    Stage stage;
    QVERIFY(stage.Show());
    QSignalSpy clicked(stage.button, &QAbstractButton::clicked);
    // As a window system delivers it: press, release, double-click, release.
    SendMouse(*stage.button, QEvent::MouseButtonPress, QPoint(40, 15), Qt::LeftButton, Qt::LeftButton);
    SendMouse(*stage.button, QEvent::MouseButtonRelease, QPoint(40, 15), Qt::LeftButton, Qt::NoButton);
    SendMouse(*stage.button, QEvent::MouseButtonDblClick, QPoint(40, 15), Qt::LeftButton, Qt::LeftButton);
    QVERIFY(stage.button->isDown());
    SendMouse(*stage.button, QEvent::MouseButtonRelease, QPoint(40, 15), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(clicked.count(), 2);

    // Also when the second press arrives before the double-click.
    clicked.clear();
    SendMouse(*stage.button, QEvent::MouseButtonPress, QPoint(40, 15), Qt::LeftButton, Qt::LeftButton);
    SendMouse(*stage.button, QEvent::MouseButtonRelease, QPoint(40, 15), Qt::LeftButton, Qt::NoButton);
    SendMouse(*stage.button, QEvent::MouseButtonPress, QPoint(40, 15), Qt::LeftButton, Qt::LeftButton);
    SendMouse(*stage.button, QEvent::MouseButtonDblClick, QPoint(40, 15), Qt::LeftButton, Qt::LeftButton);
    SendMouse(*stage.button, QEvent::MouseButtonRelease, QPoint(40, 15), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(clicked.count(), 2);
}

void ShapedButtonTest::losingFocusWhileHeldLetsGo()
{
    Stage stage;
    auto* other = new CShapedButton(&stage.window);
    other->move(120, 10);
    QVERIFY(stage.Show());
    stage.button->setFocus();
    QVERIFY(stage.button->hasFocus());
    QSignalSpy clicked(stage.button, &QAbstractButton::clicked);
    SendMouse(*stage.button, QEvent::MouseButtonPress, QPoint(40, 15), Qt::LeftButton, Qt::LeftButton);
    QVERIFY(stage.button->isDown());
    other->setFocus();
    QVERIFY(!stage.button->isDown());
    QVERIFY(!stage.button->IsLButtonDown());
    // Moving about with the button still held does not push it again.
    SendMouse(*stage.button, QEvent::MouseMove, QPoint(150, 60), Qt::NoButton, Qt::LeftButton);
    SendMouse(*stage.button, QEvent::MouseMove, QPoint(40, 15), Qt::NoButton, Qt::LeftButton);
    QVERIFY(!stage.button->isDown());
    SendMouse(*stage.button, QEvent::MouseButtonRelease, QPoint(40, 15), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(clicked.count(), 0);
}

void ShapedButtonTest::checkAndRadioKinds()
{
    Stage push;
    push.button->SetCheck(1);
    QCOMPARE(push.button->GetCheck(), 0);

    Stage check(CheckKindCheckBox);
    QVERIFY(check.Show());
    QTest::mouseClick(check.button, Qt::LeftButton, {}, QPoint(40, 15));
    QCOMPARE(check.button->GetCheck(), 1);
    QCOMPARE(check.Shot().pixel(5, 5), kDown);   // checked looks pressed
    QTest::mouseClick(check.button, Qt::LeftButton, {}, QPoint(40, 15));
    QCOMPARE(check.button->GetCheck(), 0);
    check.button->setFocus();
    QTest::keyClick(check.button, Qt::Key_Space);
    QCOMPARE(check.button->GetCheck(), 1);

    Stage radios(CheckKindRadio);
    auto* second = new CShapedButton(&radios.window, CheckKindRadio);
    second->move(100, 50);
    second->SetBitmapImages(Solid(kNormal), Solid(kDown), {}, {}, {}, CornerMask(), DrawAsIs, 0, 0);
    QVERIFY(radios.Show());
    radios.button->SetCheck(1);
    QTest::mouseClick(second, Qt::LeftButton, {}, QPoint(40, 15));
    QCOMPARE(second->GetCheck(), 1);
    QTRY_COMPARE(radios.button->GetCheck(), 0);
    QTest::mouseClick(second, Qt::LeftButton, {}, QPoint(40, 15));
    QCOMPARE(second->GetCheck(), 1);   // a radio button stays checked
}

QTEST_MAIN(ShapedButtonTest)
#include "ShapedButtonTest.moc"
