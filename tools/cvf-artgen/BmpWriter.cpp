#include "BmpWriter.h"

#include <QFile>

namespace artgen {
namespace {

constexpr std::uint32_t kFileHeaderSize = 14;
constexpr std::uint32_t kInfoHeaderSize = 40;
constexpr std::int32_t kPixelsPerMetre = 2835;  // 72 dots per inch

void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF));
}

std::uint32_t RowBytes(int width, int bits) {
  return static_cast<std::uint32_t>((width * bits + 31) / 32 * 4);
}

void PutHeaders(std::vector<std::uint8_t>& out, int width, int height, int bits,
                std::uint32_t tableEntries) {
  const std::uint32_t imageSize = RowBytes(width, bits) * static_cast<std::uint32_t>(height);
  const std::uint32_t offset = kFileHeaderSize + kInfoHeaderSize + 4 * tableEntries;
  // BITMAPFILEHEADER
  out.push_back('B');
  out.push_back('M');
  Put32(out, offset + imageSize);  // bfSize
  Put16(out, 0);                   // bfReserved1
  Put16(out, 0);                   // bfReserved2
  Put32(out, offset);              // bfOffBits
  // BITMAPINFOHEADER
  Put32(out, kInfoHeaderSize);                     // biSize
  Put32(out, static_cast<std::uint32_t>(width));   // biWidth
  Put32(out, static_cast<std::uint32_t>(height));  // biHeight, positive: bottom row first
  Put16(out, 1);                                   // biPlanes
  Put16(out, static_cast<std::uint16_t>(bits));    // biBitCount
  Put32(out, 0);                                   // biCompression BI_RGB
  Put32(out, imageSize);                           // biSizeImage
  Put32(out, static_cast<std::uint32_t>(kPixelsPerMetre));
  Put32(out, static_cast<std::uint32_t>(kPixelsPerMetre));
  Put32(out, 0);  // biClrUsed: 0 means 2^biBitCount entries (or none at 24 bits)
  Put32(out, 0);  // biClrImportant
}

}  // namespace

std::vector<std::uint8_t> EncodeBmp8(const QImage& indexed) {
  std::vector<std::uint8_t> out;
  if (indexed.format() != QImage::Format_Indexed8 || indexed.colorCount() > 256) return out;
  const int w = indexed.width();
  const int h = indexed.height();
  const std::uint32_t row = RowBytes(w, 8);
  out.reserve(kFileHeaderSize + kInfoHeaderSize + 1024 + row * static_cast<std::uint32_t>(h));
  PutHeaders(out, w, h, 8, 256);
  const QList<QRgb> table = indexed.colorTable();
  for (int i = 0; i < 256; ++i) {
    const QRgb c = i < table.size() ? table[i] : qRgb(0, 0, 0);
    out.push_back(static_cast<std::uint8_t>(qBlue(c)));
    out.push_back(static_cast<std::uint8_t>(qGreen(c)));
    out.push_back(static_cast<std::uint8_t>(qRed(c)));
    out.push_back(0);
  }
  for (int y = h - 1; y >= 0; --y) {
    const uchar* line = indexed.constScanLine(y);
    out.insert(out.end(), line, line + w);
    for (std::uint32_t pad = static_cast<std::uint32_t>(w); pad < row; ++pad) out.push_back(0);
  }
  return out;
}

std::vector<std::uint8_t> EncodeBmp24(const QImage& image) {
  const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
  const int w = rgb.width();
  const int h = rgb.height();
  const std::uint32_t row = RowBytes(w, 24);
  std::vector<std::uint8_t> out;
  out.reserve(kFileHeaderSize + kInfoHeaderSize + row * static_cast<std::uint32_t>(h));
  PutHeaders(out, w, h, 24, 0);
  for (int y = h - 1; y >= 0; --y) {
    const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
    for (int x = 0; x < w; ++x) {
      out.push_back(static_cast<std::uint8_t>(qBlue(line[x])));
      out.push_back(static_cast<std::uint8_t>(qGreen(line[x])));
      out.push_back(static_cast<std::uint8_t>(qRed(line[x])));
    }
    for (std::uint32_t pad = static_cast<std::uint32_t>(w) * 3; pad < row; ++pad) out.push_back(0);
  }
  return out;
}

bool WriteFile(const QString& path, const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) return false;
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  const auto size = static_cast<qint64>(bytes.size());
  return f.write(reinterpret_cast<const char*>(bytes.data()), size) == size && f.flush();
}

}  // namespace artgen
