#include "widgets/DibImage.h"

#include <QFile>

#include <cstring>
#include <new>

namespace {

// Row bytes of a packed pixel row: rounded up to a multiple of 4 bytes.
size_t PaddedRowBytes(int width, int bitsPerPixel)
{
    return (static_cast<size_t>(width) * static_cast<size_t>(bitsPerPixel) + 31) / 32 * 4;
}

int DepthOfFormat(const QImage& image)
{
    switch (image.format()) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
        return 1;
    case QImage::Format_Indexed8:
        return 8;
    default:
        return image.depth();
    }
}

uint16_t ReadLe16(const QByteArray& data, int at)
{
    return static_cast<uint16_t>(static_cast<uint8_t>(data[at]) | static_cast<uint8_t>(data[at + 1]) << 8);
}

uint32_t ReadLe32(const QByteArray& data, int at)
{
    return static_cast<uint32_t>(ReadLe16(data, at)) | static_cast<uint32_t>(ReadLe16(data, at + 2)) << 16;
}

} // namespace

void CDibImage::Clear()
{
    m_pBMI.reset();
    m_pBits.reset();
    m_pPalette.reset();
    m_view = QImage();
}

int CDibImage::NumColors() const
{
    if (!m_pBMI) {
        return 0;
    }
    const DibInfoHeader& h = m_pBMI->bmiHeader;
    if (h.biClrUsed != 0) {
        return static_cast<int>(h.biClrUsed);
    }
    return h.biBitCount < 31 ? 1 << h.biBitCount : 0;
}

int CDibImage::RowBytes() const
{
    if (!m_pBMI) {
        return 0;
    }
    return static_cast<int>(PaddedRowBytes(m_pBMI->bmiHeader.biWidth, m_pBMI->bmiHeader.biBitCount));
}

int CDibImage::BmpBitCount(const QByteArray& data)
{
    if (data.size() < 30 || data[0] != 'B' || data[1] != 'M') {
        return 0;
    }
    const uint32_t headerSize = ReadLe32(data, 14);
    if (headerSize == 12) {
        return ReadLe16(data, 24);   // old core header: 16-bit sizes
    }
    return headerSize >= 16 ? ReadLe16(data, 28) : 0;
}

bool CDibImage::LoadFromResource(unsigned id)
{
    return LoadFromFile(BitmapResourcePath(id));
}

bool CDibImage::LoadFromFile(const QString& fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray data = file.readAll();
    QImage image;
    if (!image.loadFromData(data) || image.isNull()) {
        return false;
    }
    return CreateFromBitmap(image, BmpBitCount(data));
}

bool CDibImage::CreateFromBitmap(const QImage& image, int bitCount)
{
    if (image.isNull()) {
        Clear();
        return false;
    }
    int srcBits = bitCount > 0 ? bitCount : DepthOfFormat(image);
    if (srcBits <= 8) {
        srcBits = srcBits <= 1 ? 1 : srcBits <= 4 ? 4 : 8;
    }
    const int dibBits = srcBits <= 8 ? srcBits : 24;
    const int width = image.width();
    const int height = image.height();

    // 1- and 4-bit images get room for 8 bits per pixel.
    const size_t allocRow = PaddedRowBytes(width, srcBits <= 8 ? 8 : 24);
    const size_t rowBytes = PaddedRowBytes(width, dibBits);
    std::unique_ptr<uint8_t[]> bits(new (std::nothrow) uint8_t[allocRow * static_cast<size_t>(height)]);
    if (!bits) {
        Clear();   // could not allocate data storage
        return false;
    }
    std::memset(bits.get(), 0, allocRow * static_cast<size_t>(height));

    const int tableSize = dibBits == 1 ? 2 : dibBits == 4 ? 16 : dibBits == 8 ? 256 : 0;
    auto info = std::make_unique<DibBitmapInfo>();
    info->bmiColors.resize(static_cast<size_t>(tableSize));
    DibInfoHeader& h = info->bmiHeader;
    h.biWidth = width;
    h.biHeight = height;
    h.biPlanes = 1;
    h.biBitCount = static_cast<uint16_t>(dibBits);
    h.biCompression = 0;
    // The size of the stored rows. (Reckoned with a deeper source's own
    // depth it would claim more bytes than the 24-bit rows hold.)
    h.biSizeImage = static_cast<uint32_t>(rowBytes * static_cast<size_t>(height));

    if (dibBits <= 8) {
        const QImage indexed = image.format() == QImage::Format_Indexed8
                                   ? image
                                   : image.convertToFormat(QImage::Format_Indexed8);
        const QList<QRgb> table = indexed.colorTable();
        for (int i = 0; i < tableSize && i < table.size(); ++i) {
            DibRgbQuad& q = info->bmiColors[static_cast<size_t>(i)];
            q.rgbRed = static_cast<uint8_t>(qRed(table[i]));
            q.rgbGreen = static_cast<uint8_t>(qGreen(table[i]));
            q.rgbBlue = static_cast<uint8_t>(qBlue(table[i]));
        }
        const unsigned indexMask = (1u << dibBits) - 1u;
        for (int y = 0; y < height; ++y) {
            const uchar* src = indexed.constScanLine(height - 1 - y);
            uint8_t* dst = bits.get() + static_cast<size_t>(y) * rowBytes;
            for (int x = 0; x < width; ++x) {
                const unsigned index = src[x] & indexMask;
                if (dibBits == 8) {
                    dst[x] = static_cast<uint8_t>(index);
                } else if (dibBits == 4) {
                    dst[x / 2] |= static_cast<uint8_t>(index << ((x % 2 == 0) ? 4 : 0));
                } else {
                    dst[x / 8] |= static_cast<uint8_t>(index << (7 - x % 8));
                }
            }
        }
    } else {
        const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
        for (int y = 0; y < height; ++y) {
            const uchar* src = rgb.constScanLine(height - 1 - y);
            uint8_t* dst = bits.get() + static_cast<size_t>(y) * rowBytes;
            for (int x = 0; x < width; ++x) {
                dst[3 * x] = src[3 * x + 2];
                dst[3 * x + 1] = src[3 * x + 1];
                dst[3 * x + 2] = src[3 * x];
            }
        }
    }

    m_pBits = std::move(bits);
    m_pBMI = std::move(info);
    CreateDibPalette();
    m_bRowsPadded = false;
    if (!BuildView()) {
        Clear();
        return false;
    }
    return true;
}

bool CDibImage::CreateDibPalette()
{
    m_pPalette.reset();
    if (!m_pBMI || m_pBMI->bmiHeader.biBitCount > 8) {
        return false;
    }
    const int n = NumColors();
    auto palette = std::make_unique<CPalette>();
    palette->reserve(n);
    for (int i = 0; i < n; ++i) {
        const DibRgbQuad q = static_cast<size_t>(i) < m_pBMI->bmiColors.size() ? m_pBMI->bmiColors[static_cast<size_t>(i)]
                                                                              : DibRgbQuad{};
        palette->append(qRgb(q.rgbRed, q.rgbGreen, q.rgbBlue));
    }
    m_pPalette = std::move(palette);
    return true;
}

bool CDibImage::BuildView()
{
    const int width = Width();
    const int height = Height();
    QImage view(width, height, QImage::Format_RGB32);
    if (view.isNull()) {
        return false;
    }
    const int bitCount = m_pBMI->bmiHeader.biBitCount;
    const size_t rowBytes = static_cast<size_t>(RowBytes());
    const std::vector<DibRgbQuad>& table = m_pBMI->bmiColors;
    for (int y = 0; y < height; ++y) {
        const uint8_t* src = m_pBits.get() + static_cast<size_t>(height - 1 - y) * rowBytes;
        QRgb* dst = reinterpret_cast<QRgb*>(view.scanLine(y));
        for (int x = 0; x < width; ++x) {
            if (bitCount > 8) {
                dst[x] = qRgb(src[3 * x + 2], src[3 * x + 1], src[3 * x]);
                continue;
            }
            unsigned index = 0;
            if (bitCount == 8) {
                index = src[x];
            } else if (bitCount == 4) {
                index = (src[x / 2] >> ((x % 2 == 0) ? 4 : 0)) & 0x0Fu;
            } else {
                index = (src[x / 8] >> (7 - x % 8)) & 0x01u;
            }
            const DibRgbQuad q = index < table.size() ? table[index] : DibRgbQuad{};
            dst[x] = qRgb(q.rgbRed, q.rgbGreen, q.rgbBlue);
        }
    }
    m_view = std::move(view);
    return true;
}

void CDibImage::DrawStretched(QPainter& painter, int x, int y, int width, int height) const
{
    if (!m_pBMI || m_view.isNull()) {
        return;
    }
    const QRect target(x, y, width, height);
    if (m_pPalette) {
        // Colour-table images are scaled by picking pixels, never by blending.
        const bool smooth = painter.testRenderHint(QPainter::SmoothPixmapTransform);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
        painter.drawImage(target, m_view);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, smooth);
    } else {
        painter.drawImage(target, m_view);
    }
}

void CDibImage::DrawAt(QPainter& painter, int x, int y) const
{
    DrawStretched(painter, x, y, Width(), Height());
}
