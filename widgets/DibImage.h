#pragma once
// A picture held as a device-independent bitmap: a header, a colour table
// and the pixel rows, bottom row first, each row padded to a multiple of
// 4 bytes. Images of 8 bits per pixel or fewer keep their depth and get a
// palette made from the colour table; deeper images are stored with 24 bits
// per pixel (blue, green, red) and have no palette.
//
// Drawing goes through a QImage view of the pixels that is built once per
// load, so painting costs no conversion.

#include <QImage>
#include <QList>
#include <QPainter>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

// The header fields in the layout of the classic 40-byte bitmap header.
struct DibInfoHeader {
    uint32_t biSize = 40;
    int32_t biWidth = 0;
    int32_t biHeight = 0;
    uint16_t biPlanes = 1;
    uint16_t biBitCount = 0;
    uint32_t biCompression = 0;   // always 0: uncompressed RGB
    uint32_t biSizeImage = 0;
    int32_t biXPelsPerMeter = 0;
    int32_t biYPelsPerMeter = 0;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;
};

struct DibRgbQuad {
    uint8_t rgbBlue = 0;
    uint8_t rgbGreen = 0;
    uint8_t rgbRed = 0;
    uint8_t rgbReserved = 0;
};

// Header and colour table (2, 16 or 256 entries for 1, 4 or 8 bits per
// pixel, none for deeper images).
struct DibBitmapInfo {
    DibInfoHeader bmiHeader;
    std::vector<DibRgbQuad> bmiColors;
};

// The logical palette: one colour per colour-table entry.
using CPalette = QList<QRgb>;

// The Qt resource path of a bitmap resource ID (its low 16 bits).
inline QString BitmapResourcePath(unsigned id)
{
    return QStringLiteral(":/bitmap/%1").arg(id & 0xFFFFu);
}

class CDibImage {
public:
    CDibImage() = default;
    virtual ~CDibImage() = default;
    CDibImage(const CDibImage&) = delete;
    CDibImage& operator=(const CDibImage&) = delete;

    // Draws the whole image scaled into (x, y, width, height). An image with
    // a palette is drawn with nearest-neighbour scaling; otherwise the
    // painter's own smoothing setting applies. An empty image draws nothing.
    virtual void DrawStretched(QPainter& painter, int x, int y, int width, int height) const;
    // Draws the image 1:1 with its top-left corner at (x, y).
    virtual void DrawAt(QPainter& painter, int x, int y) const;
    // Loads a BMP file (or any image file Qt reads); a BMP keeps its own
    // bit depth when it has 8 bits per pixel or fewer. False on failure, and
    // then the image is left as it was.
    virtual bool LoadFromFile(const QString& fileName);

    // Loads bitmap resource ":/bitmap/<id>". False when there is none or it
    // cannot be read; the image is then left as it was.
    bool LoadFromResource(unsigned id);
    // Builds the bitmap from an image. bitCount is the source's own depth;
    // 0 takes it from the image's format (1 for monochrome, 8 for indexed,
    // otherwise the format's depth). On failure the image becomes empty.
    bool CreateFromBitmap(const QImage& image, int bitCount = 0);
    // Remakes the palette from the colour table; true when there is one.
    bool CreateDibPalette();

    bool IsEmpty() const { return m_pBits == nullptr; }
    // Sizes of a loaded image (0 when empty).
    int Width() const { return m_pBMI ? m_pBMI->bmiHeader.biWidth : 0; }
    int Height() const { return m_pBMI ? m_pBMI->bmiHeader.biHeight : 0; }
    // The pixel rows, bottom row first; null when empty.
    const uint8_t* GetBits() const { return m_pBits.get(); }
    // Header and colour table; null when empty.
    const DibBitmapInfo* GetBitmapInfo() const { return m_pBMI.get(); }
    // biClrUsed if set, else 2 to the power of the bit count.
    int NumColors() const;
    // Bytes per stored pixel row (a multiple of 4).
    int RowBytes() const;
    // The palette, null when the image has none.
    const CPalette* GetPalette() const { return m_pPalette.get(); }
    // The image as drawn: top row first, 32 bits per pixel. Null when empty.
    const QImage& View() const { return m_view; }

    // Reads the bit depth stored in a BMP file's header; 0 if it is no BMP.
    static int BmpBitCount(const QByteArray& fileData);

private:
    void Clear();
    bool BuildView();

    std::unique_ptr<DibBitmapInfo> m_pBMI;
    std::unique_ptr<uint8_t[]> m_pBits;
    std::unique_ptr<CPalette> m_pPalette;
    bool m_bRowsPadded = false;   // kept for the layout's name; nothing here reads it
    QImage m_view;
};
