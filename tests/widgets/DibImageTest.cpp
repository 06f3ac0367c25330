// Bitmap image loading and drawing, and the off-screen painter.

#include "res/ResourceIds.h"
#include "WidgetTestSupport.h"

#include "widgets/BufferedDC.h"
#include "widgets/DibImage.h"

#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>

#ifdef CVF_TEST_PRINTER
#include <QPrinter>
#endif

namespace {

// A small 4-bit BMP written byte by byte: 3 x 2 pixels, 16-colour table
// with entry i = (i * 16, 255 - i * 16, i), top row indices 1 2 3, bottom
// row 4 5 6.
QByteArray FourBitBmp()
{
    QByteArray bmp;
    auto le16 = [&](int v) { bmp.append(char(v & 0xFF)).append(char((v >> 8) & 0xFF)); };
    auto le32 = [&](int v) { le16(v & 0xFFFF); le16((v >> 16) & 0xFFFF); };
    const int rowBytes = 4;
    const int offset = 14 + 40 + 16 * 4;
    bmp.append("BM");
    le32(offset + rowBytes * 2);
    le32(0);
    le32(offset);
    le32(40); le32(3); le32(2); le16(1); le16(4); le32(0); le32(rowBytes * 2); le32(2835); le32(2835); le32(0); le32(0);
    for (int i = 0; i < 16; ++i) {
        bmp.append(char(i)).append(char(255 - i * 16)).append(char(i * 16)).append(char(0));   // B G R 0
    }
    // Bottom row first.
    bmp.append(char(0x45)).append(char(0x60)).append(char(0)).append(char(0));
    bmp.append(char(0x12)).append(char(0x30)).append(char(0)).append(char(0));
    return bmp;
}

QRgb FourBitColor(int i)
{
    return qRgb(i * 16, 255 - i * 16, i);
}

} // namespace

class DibImageTest : public QObject {
    Q_OBJECT
private slots:
    void backdropResourceIsEightBitWithPalette();
    void trueColorResourceHasNoPalette();
    void deepImagesBecomeTwentyFourBit();
    void fourAndOneBitKeepTheirDepth();
    void unknownResourceLeavesImageAsItWas();
    void drawAtIsOneToOne();
    void stretchedPaletteImageIsNotBlended();
    void bufferedPainterCopiesOnlyItsStripOnce();
    void bufferedPainterDrawsStraightOnPrinter();
};

void DibImageTest::backdropResourceIsEightBitWithPalette()
{
    if (!QFile::exists(QStringLiteral(":/bitmap/163"))) {
        QSKIP("bitmap 163 is not built in");
    }
    CDibImage dib;
    QVERIFY(dib.LoadFromResource(IDB_BACKDROP));
    const DibInfoHeader& h = dib.GetBitmapInfo()->bmiHeader;
    QCOMPARE(dib.Width(), 440);
    QCOMPARE(dib.Height(), 456);
    QCOMPARE(int(h.biBitCount), 8);
    QCOMPARE(h.biClrUsed, 0u);
    QCOMPARE(h.biSizeImage, 440u * 456u);
    QCOMPARE(dib.NumColors(), 256);
    QCOMPARE(int(dib.GetBitmapInfo()->bmiColors.size()), 256);
    QVERIFY(dib.GetPalette() != nullptr);
    QCOMPARE(dib.GetPalette()->size(), 256);

    // Rows are stored bottom row first; the view shows the file's picture.
    const QImage reference = QImage(QStringLiteral(":/bitmap/163"));
    QCOMPARE(reference.format(), QImage::Format_Indexed8);
    const uint8_t* bottomRow = dib.GetBits();
    for (int x = 0; x < 440; x += 7) {
        QCOMPARE(int(bottomRow[x]), reference.pixelIndex(x, 455));
    }
    QCOMPARE(dib.View().convertToFormat(QImage::Format_RGB32), reference.convertToFormat(QImage::Format_RGB32));
}

void DibImageTest::trueColorResourceHasNoPalette()
{
    if (!QFile::exists(QStringLiteral(":/bitmap/164"))) {
        QSKIP("bitmap 164 is not built in");
    }
    CDibImage dib;
    QVERIFY(dib.LoadFromResource(IDB_BUTTON));
    QCOMPARE(int(dib.GetBitmapInfo()->bmiHeader.biBitCount), 24);
    QVERIFY(dib.GetBitmapInfo()->bmiColors.empty());
    QVERIFY(dib.GetPalette() == nullptr);
    QCOMPARE(dib.RowBytes(), 288);   // 95 * 3 = 285, padded to 288

    // Blue, green, red, bottom row first.
    const QImage reference(QStringLiteral(":/bitmap/164"));
    const uint8_t* bottom = dib.GetBits();
    QCOMPARE(qRgb(bottom[2], bottom[1], bottom[0]), reference.pixel(0, 29) | 0xFF000000u);
    const uint8_t* top = dib.GetBits() + 29 * 288;
    QCOMPARE(qRgb(top[3 * 50 + 2], top[3 * 50 + 1], top[3 * 50]), reference.pixel(50, 0) | 0xFF000000u);

    // Drawing leaves the painter's smoothing setting alone.
    QImage target(200, 100, QImage::Format_RGB32);
    QPainter painter(&target);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    dib.DrawStretched(painter, 0, 0, 200, 100);
    QVERIFY(painter.testRenderHint(QPainter::SmoothPixmapTransform));
}

void DibImageTest::deepImagesBecomeTwentyFourBit()
{
    QImage argb(5, 3, QImage::Format_ARGB32);
    argb.fill(qRgba(10, 20, 30, 255));
    argb.setPixel(4, 0, qRgba(200, 100, 50, 255));
    CDibImage dib;
    QVERIFY(dib.CreateFromBitmap(argb));
    const DibInfoHeader& h = dib.GetBitmapInfo()->bmiHeader;
    QCOMPARE(int(h.biBitCount), 24);
    // The image size is that of the stored 24-bit rows, not of the source's
    // 32-bit ones.
    QCOMPARE(h.biSizeImage, 16u * 3u);
    QCOMPARE(dib.RowBytes(), 16);
    const uint8_t* top = dib.GetBits() + 2 * 16;
    QCOMPARE(int(top[12]), 50);
    QCOMPARE(int(top[13]), 100);
    QCOMPARE(int(top[14]), 200);
    QCOMPARE(dib.View().pixel(4, 0), qRgb(200, 100, 50));

    QImage rgb16(4, 2, QImage::Format_RGB16);
    rgb16.fill(Qt::red);
    QVERIFY(dib.CreateFromBitmap(rgb16));
    QCOMPARE(int(dib.GetBitmapInfo()->bmiHeader.biBitCount), 24);
    QCOMPARE(dib.GetBitmapInfo()->bmiHeader.biSizeImage, 12u * 2u);
    QVERIFY(dib.GetPalette() == nullptr);
}

void DibImageTest::fourAndOneBitKeepTheirDepth()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("four.bmp"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(FourBitBmp());
    file.close();

    CDibImage dib;
    QVERIFY(dib.LoadFromFile(path));
    QCOMPARE(int(dib.GetBitmapInfo()->bmiHeader.biBitCount), 4);
    QCOMPARE(dib.NumColors(), 16);
    QCOMPARE(dib.GetPalette()->size(), 16);
    QCOMPARE(dib.GetPalette()->at(5), FourBitColor(5));
    QCOMPARE(dib.RowBytes(), 4);
    QCOMPARE(int(dib.GetBits()[0]), 0x45);
    QCOMPARE(int(dib.GetBits()[1]), 0x60);
    QCOMPARE(int(dib.GetBits()[4]), 0x12);
    QCOMPARE(int(dib.GetBits()[5]), 0x30);
    QCOMPARE(dib.View().pixel(0, 0), FourBitColor(1));
    QCOMPARE(dib.View().pixel(2, 0), FourBitColor(3));
    QCOMPARE(dib.View().pixel(1, 1), FourBitColor(5));

    QImage mono(10, 2, QImage::Format_Mono);
    mono.setColor(0, qRgb(0, 0, 0));
    mono.setColor(1, qRgb(255, 255, 255));
    mono.fill(0);
    mono.setPixel(0, 1, 1);
    mono.setPixel(9, 1, 1);
    QVERIFY(dib.CreateFromBitmap(mono));
    QCOMPARE(int(dib.GetBitmapInfo()->bmiHeader.biBitCount), 1);
    QCOMPARE(int(dib.GetBitmapInfo()->bmiColors.size()), 2);
    QCOMPARE(dib.NumColors(), 2);
    QCOMPARE(int(dib.GetBits()[0]), 0x80);   // bottom row: x = 0 is the high bit
    QCOMPARE(int(dib.GetBits()[1]), 0x40);   // x = 9
    QCOMPARE(int(dib.GetBits()[4]), 0x00);   // top row
    QCOMPARE(dib.View().pixel(9, 1), qRgb(255, 255, 255));
}

void DibImageTest::unknownResourceLeavesImageAsItWas()
{
    CDibImage dib;
    QVERIFY(!dib.LoadFromResource(9999));
    QVERIFY(dib.IsEmpty());
    QVERIFY(dib.GetBitmapInfo() == nullptr);

    QImage image(7, 5, QImage::Format_RGB32);
    image.fill(Qt::green);
    QVERIFY(dib.CreateFromBitmap(image));
    const uint8_t* bits = dib.GetBits();
    QVERIFY(!dib.LoadFromResource(9999));
    QVERIFY(!dib.LoadFromFile(QStringLiteral("/nonexistent/file.bmp")));
    QCOMPARE(dib.GetBits(), bits);
    QCOMPARE(dib.Width(), 7);
    QCOMPARE(dib.View().pixel(3, 3), qRgb(0, 255, 0));

    QVERIFY(!dib.CreateFromBitmap(QImage()));
    QVERIFY(dib.IsEmpty());
}

void DibImageTest::drawAtIsOneToOne()
{
    QImage image(20, 10, QImage::Format_RGB32);
    for (int y = 0; y < 10; ++y) {
        for (int x = 0; x < 20; ++x) {
            image.setPixel(x, y, qRgb(x * 10, y * 20, 99));
        }
    }
    CDibImage dib;
    QVERIFY(dib.CreateFromBitmap(image));
    QImage target(50, 40, QImage::Format_RGB32);
    target.fill(Qt::black);
    {
        QPainter painter(&target);
        dib.DrawAt(painter, 7, 13);
        dib.DrawAt(painter, -15, -5);   // cropped at the left and top
    }
    QCOMPARE(target.copy(7, 13, 20, 10), image);
    QCOMPARE(target.pixel(6, 13), qRgb(0, 0, 0));
    QCOMPARE(target.pixel(27, 22), qRgb(0, 0, 0));
    QCOMPARE(target.pixel(0, 0), image.pixel(15, 5));
    QCOMPARE(target.pixel(4, 4), image.pixel(19, 9));
}

void DibImageTest::stretchedPaletteImageIsNotBlended()
{
    QImage indexed(2, 2, QImage::Format_Indexed8);
    indexed.setColorTable({qRgb(255, 0, 0), qRgb(0, 0, 255)});
    indexed.setPixel(0, 0, 0);
    indexed.setPixel(1, 0, 1);
    indexed.setPixel(0, 1, 1);
    indexed.setPixel(1, 1, 0);
    CDibImage dib;
    QVERIFY(dib.CreateFromBitmap(indexed));
    QCOMPARE(int(dib.GetBitmapInfo()->bmiHeader.biBitCount), 8);
    QCOMPARE(dib.NumColors(), 256);
    QImage target(40, 40, QImage::Format_RGB32);
    QPainter painter(&target);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    dib.DrawStretched(painter, 0, 0, 40, 40);
    QVERIFY(painter.testRenderHint(QPainter::SmoothPixmapTransform));
    painter.end();
    QCOMPARE(testsupport::ColorsIn(target, target.rect()).size(), 2);
    QCOMPARE(target.pixel(19, 0), qRgb(255, 0, 0));
    QCOMPARE(target.pixel(20, 0), qRgb(0, 0, 255));
    QCOMPARE(target.pixel(39, 39), qRgb(255, 0, 0));
}

void DibImageTest::bufferedPainterCopiesOnlyItsStripOnce()
{
    QImage target(60, 40, QImage::Format_RGB32);
    target.fill(Qt::red);
    {
        CBufferedDC dc(&target, QRect(5, 10, 50, 6));
        QVERIFY(dc.IsOffscreen());
        QCOMPARE(dc.Bitmap().size(), QSize(50, 6));
        dc.fillRect(QRect(0, 0, 60, 40), Qt::blue);
        dc.fillRect(QRect(5, 10, 1, 1), Qt::green);   // target coordinates
        // Nothing reaches the target before the end.
        QCOMPARE(target.pixel(20, 12), qRgb(255, 0, 0));
    }
    QCOMPARE(target.pixel(5, 10), qRgb(0, 255, 0));
    QCOMPARE(target.pixel(6, 10), qRgb(0, 0, 255));
    QCOMPARE(target.pixel(54, 15), qRgb(0, 0, 255));
    QCOMPARE(testsupport::BoundsOf(target, qRgb(255, 0, 0)), target.rect());
    QCOMPARE(testsupport::ColorsIn(target, QRect(0, 0, 60, 10)), QSet<QRgb>{qRgb(255, 0, 0)});
    QCOMPARE(testsupport::ColorsIn(target, QRect(0, 16, 60, 24)), QSet<QRgb>{qRgb(255, 0, 0)});
    QCOMPARE(testsupport::ColorsIn(target, QRect(55, 10, 5, 6)), QSet<QRgb>{qRgb(255, 0, 0)});
}

void DibImageTest::bufferedPainterDrawsStraightOnPrinter()
{
#ifdef CVF_TEST_PRINTER
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString pdf = dir.filePath(QStringLiteral("out.pdf"));
    QPrinter printer;
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(pdf);
    {
        CBufferedDC dc(&printer, QRect(0, 0, 100, 100));
        QVERIFY(!dc.IsOffscreen());
        QVERIFY(dc.Bitmap().isNull());
        QCOMPARE(dc.device(), static_cast<QPaintDevice*>(&printer));
        dc.fillRect(QRect(0, 0, 100, 100), Qt::blue);
    }
    QVERIFY(QFileInfo(pdf).size() > 0);
    // The printer is still usable afterwards.
    QPainter again;
    QVERIFY(again.begin(&printer));
    again.end();
#else
    QSKIP("Qt print support is not available");
#endif
}

QTEST_MAIN(DibImageTest)
#include "DibImageTest.moc"
