// The percent bar: colours and text split at the bar edge, the repaint
// rule and the window text.

#include "WidgetTestSupport.h"

#include "widgets/PercentBar.h"

#include <QtTest>

#include <limits>

namespace {

const QRgb kFill = qRgb(200, 0, 0);
const QRgb kBack = qRgb(255, 255, 255);
const QRgb kTextOnBar = qRgb(255, 255, 0);
const QRgb kTextOnBack = qRgb(0, 0, 200);

// A bar with four distinct colours and a font without smoothing, so every
// pixel is one of the four.
void Prepare(CPercentBar& bar, int width = 200)
{
    bar.m_crBarFill = QColor(kFill);
    bar.m_crBarBack = QColor(kBack);
    bar.m_crTextOnBar = QColor(kTextOnBar);
    bar.m_crTextOnBack = QColor(kTextOnBack);
    QFont font = bar.font();
    font.setPixelSize(14);
    font.setStyleStrategy(QFont::NoAntialias);
    bar.setFont(font);
    bar.resize(width, 20);
    bar.SetRange(0, 100);
}

class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints;
        }
        return false;
    }
};

} // namespace

class PercentBarTest : public QObject {
    Q_OBJECT
private slots:
    void colorsAtZeroHalfFullAndBeyond_data();
    void colorsAtZeroHalfFullAndBeyond();
    void repaintsOnlyWhenBarWidthChanges();
    void windowTextReplacesPercentage();
    void emptyRangePaintsRemainderOnly();
    void frameIsDrawnAroundTheBar();
};

void PercentBarTest::colorsAtZeroHalfFullAndBeyond_data()
{
    QTest::addColumn<int>("pos");
    QTest::addColumn<int>("edge");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0 << 0 << "0%";
    QTest::newRow("50") << 50 << 100 << "50%";
    QTest::newRow("37") << 37 << 74 << "37%";
    QTest::newRow("100") << 100 << 200 << "100%";
    QTest::newRow("150") << 150 << 200 << "150%";
}

void PercentBarTest::colorsAtZeroHalfFullAndBeyond()
{
    QFETCH(int, pos);
    QFETCH(int, edge);
    QFETCH(QString, text);
    CPercentBar bar;
    Prepare(bar);
    bar.SetPos(pos);
    QCOMPARE(bar.DisplayText(), text);
    const QImage shot = testsupport::Render(bar);

    const QSet<QRgb> left = testsupport::ColorsIn(shot, QRect(0, 0, edge, 20));
    const QSet<QRgb> right = testsupport::ColorsIn(shot, QRect(edge, 0, 200 - edge, 20));
    // Left of the edge only the bar and the text on it, right of it only
    // the remainder and the text on that.
    QVERIFY((left - QSet<QRgb>{kFill, kTextOnBar}).isEmpty());
    QVERIFY((right - QSet<QRgb>{kBack, kTextOnBack}).isEmpty());
    QCOMPARE(left.contains(kFill), edge > 0);
    QCOMPARE(right.contains(kBack), edge < 200);
    if (pos == 0) {
        QVERIFY(right.contains(kTextOnBack));
    } else if (pos == 50) {
        // "50%" straddles the edge: both text colours, split at it.
        QVERIFY(left.contains(kTextOnBar));
        QVERIFY(right.contains(kTextOnBack));
    } else if (pos >= 100) {
        QVERIFY(left.contains(kTextOnBar));
    }

    // The text is centred, whichever colours it is drawn in.
    QRect textBox = testsupport::BoundsOf(shot, kTextOnBar) | testsupport::BoundsOf(shot, kTextOnBack);
    QVERIFY(!textBox.isEmpty());
    QVERIFY2(qAbs(textBox.center().x() - 100) <= 2, qPrintable(QString::number(textBox.center().x())));
    QVERIFY(qAbs(textBox.center().y() - 10) <= 3);
}

void PercentBarTest::repaintsOnlyWhenBarWidthChanges()
{
    CPercentBar bar;
    Prepare(bar, 50);   // one position is half a pixel
    bar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bar));
    PaintCounter counter;
    bar.installEventFilter(&counter);
    QCoreApplication::processEvents();
    counter.paints = 0;

    QCOMPARE(bar.SetPos(10), 0);   // 5 px: differs from the width before
    QCOMPARE(counter.paints, 1);   // painted before SetPos returned
    QCOMPARE(bar.SetPos(11), 10);  // 5.5 px -> 5 px: no repaint
    QCOMPARE(counter.paints, 1);
    QCOMPARE(bar.DisplayText(), QStringLiteral("11%"));
    QCOMPARE(bar.SetPos(12), 11);  // 6 px
    QCOMPARE(counter.paints, 2);
    QCOMPARE(bar.SetPos(12), 12);
    QCOMPARE(counter.paints, 2);

    // A resize forgets the width: the next SetPos repaints even at 6 px.
    bar.resize(50, 24);
    QCoreApplication::processEvents();
    counter.paints = 0;
    bar.SetPos(13);   // 6.5 px -> 6 px, same as before the resize
    QCOMPARE(counter.paints, 1);
    bar.SetPos(12);
    QCOMPARE(counter.paints, 1);

    QCOMPARE(bar.SetStep(4), 1);
    QCOMPARE(bar.StepIt(), 12);   // 16 -> 8 px
    QCOMPARE(counter.paints, 2);
    QCOMPARE(bar.GetPos(), 16);
}

void PercentBarTest::windowTextReplacesPercentage()
{
    CPercentBar bar;
    Prepare(bar);
    bar.SetPos(50);
    bar.SetWindowText(QStringLiteral("Hi"));
    QCOMPARE(bar.GetWindowText(), QStringLiteral("Hi"));
    QCOMPARE(bar.DisplayText(), QStringLiteral("Hi"));
    bar.setWindowTitle(QStringLiteral("Busy"));
    QCOMPARE(bar.GetWindowText(), QStringLiteral("Busy"));
    const QImage withText = testsupport::Render(bar);
    bar.SetWindowText(QString());
    QCOMPARE(bar.DisplayText(), QStringLiteral("50%"));
    QVERIFY(testsupport::Render(bar) != withText);
}

void PercentBarTest::emptyRangePaintsRemainderOnly()
{
    CPercentBar bar;
    Prepare(bar);
    bar.SetRange(5, 5);
    QCOMPARE(bar.SetPos(7), 0);
    QCOMPARE(testsupport::ColorsIn(testsupport::Render(bar), QRect(0, 0, 200, 20)), QSet<QRgb>{kBack});
    bar.SetRange(0, 100);
    bar.SetPos(std::numeric_limits<int>::max());
    QCOMPARE(testsupport::ColorsIn(testsupport::Render(bar), QRect(0, 0, 200, 20)),
             (QSet<QRgb>{kFill, kTextOnBar}));
}

void PercentBarTest::frameIsDrawnAroundTheBar()
{
    CPercentBar bar;
    Prepare(bar);
    bar.setFrameStyle(QFrame::Box | QFrame::Plain);
    bar.setLineWidth(1);
    bar.SetPos(50);
    const QImage shot = testsupport::Render(bar);
    const QRgb frame = bar.palette().color(QPalette::WindowText).rgb();
    QCOMPARE(shot.pixel(0, 0), frame);
    QCOMPARE(shot.pixel(199, 19), frame);
    // The client area is 198 wide: the edge lies at 1 + 99.
    QCOMPARE(shot.pixel(1, 1), kFill);
    QCOMPARE(shot.pixel(99, 1), kFill);
    QCOMPARE(shot.pixel(100, 1), kBack);
}

QTEST_MAIN(PercentBarTest)
#include "PercentBarTest.moc"
