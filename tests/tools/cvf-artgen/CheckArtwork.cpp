// Checks the artwork as the program sees it: through the resource system
// (linked in from cvfres, no Q_INIT_RESOURCE) and as BMP header bytes.
// With a directory argument it also checks that a fresh run of cvf-artgen
// into that directory gives the files that are committed.
// Prints "N passed, N failed" and exits non-zero on any failure.

#include <QFile>
#include <QImage>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const char* what) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("FAIL: %s\n", what);
  }
}

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

std::uint32_t U32(const QByteArray& b, int at) {
  if (b.size() < at + 4) return 0xFFFFFFFFu;
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(b[at + i]);
  return v;
}

std::uint16_t U16(const QByteArray& b, int at) {
  if (b.size() < at + 2) return 0xFFFF;
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(b[at]) |
                                    (static_cast<std::uint8_t>(b[at + 1]) << 8));
}

// BITMAPINFOHEADER fields of a BMP file's bytes.
struct BmpHeader {
  std::uint32_t size, width, height;
  std::uint16_t planes, bits;
  std::uint32_t compression, clrUsed;
};

BmpHeader Header(const QByteArray& b) {
  return {U32(b, 14), U32(b, 18), U32(b, 22), U16(b, 26), U16(b, 28), U32(b, 30), U32(b, 46)};
}

double Luminance(QRgb c) {
  auto lin = [](int v) {
    const double s = v / 255.0;
    return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * lin(qRed(c)) + 0.7152 * lin(qGreen(c)) + 0.0722 * lin(qBlue(c));
}

double Contrast(QRgb a, QRgb b) {
  const double la = Luminance(a);
  const double lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// Behind the information lines (about y 146-210), the status lines (about
// y 291-380) and the buttons (y 379-411) every row is one plain colour, and
// the blue used for one status line stands out from it clearly.
void CheckTextAreas(const QImage& img) {
  const QRgb blue = qRgb(10, 39, 204);
  const int areas[][2] = {{140, 215}, {285, 415}};
  bool plain = true;
  double worst = 100.0;
  for (const auto& area : areas)
    for (int y = area[0]; y <= area[1]; ++y)
      for (int x = 3; x < 437; ++x) {
        if (img.pixel(x, y) != img.pixel(3, y)) plain = false;
        worst = std::min(worst, Contrast(img.pixel(x, y), blue));
      }
  Check(plain, "163 is plain behind the text lines and buttons");
  Check(worst >= 7.0, "blue status text contrasts with 163 (ratio 7 or more)");
}

void CheckBackdrop() {
  const QByteArray bytes = ReadAll(":/bitmap/163");
  const BmpHeader h = Header(bytes);
  Check(bytes.startsWith("BM"), "163 is a BMP");
  Check(h.size == 40 && h.width == 440 && h.height == 456 && h.planes == 1, "163 header 440 x 456");
  Check(h.bits == 8 && h.compression == 0 && h.clrUsed == 0, "163 has 8 bits per pixel, BI_RGB, biClrUsed 0");
  Check(U32(bytes, 10) == 14 + 40 + 256 * 4, "163 carries a 256-entry colour table");
  const QImage img(":/bitmap/163");
  Check(img.format() == QImage::Format_Indexed8 && img.colorCount() == 256,
        "163 reads back as Indexed8 with 256 colours");
  Check(img.width() == 440 && img.height() == 456, "163 reads back as 440 x 456");
  CheckTextAreas(img);
}

void CheckButtons() {
  const char* faces[] = {":/bitmap/164", ":/bitmap/165", ":/bitmap/166"};
  QImage images[3];
  for (int i = 0; i < 3; ++i) {
    const QByteArray bytes = ReadAll(faces[i]);
    const BmpHeader h = Header(bytes);
    Check(bytes.startsWith("BM") && h.width == 95 && h.height == 30 && h.bits == 24 && h.compression == 0,
          "button face is a 95 x 30 BMP of 24 bits per pixel");
    images[i] = QImage(faces[i]);
    Check(images[i].width() == 95 && images[i].height() == 30, "button face reads back as 95 x 30");
  }
  Check(images[0] != images[1] && images[0] != images[2] && images[1] != images[2],
        "normal, hover and pressed faces differ");
  // The caption sits in the middle: that area must be calm, one colour per row.
  for (const QImage& img : images) {
    bool calm = true;
    for (int y = 9; y <= 20; ++y)
      for (int x = 20; x <= 74; ++x)
        if (img.pixel(x, y) != img.pixel(47, y)) calm = false;
    Check(calm, "caption area of a button face is plain");
    double worst = 100.0;
    for (int y = 9; y <= 20; ++y) worst = std::min(worst, Contrast(img.pixel(47, y), qRgb(0, 0, 0)));
    Check(worst >= 10.0, "black caption contrasts with the button face (ratio 10 or more)");
  }
}

void CheckMask() {
  const QByteArray bytes = ReadAll(":/bitmap/147");
  const BmpHeader h = Header(bytes);
  Check(bytes.startsWith("BM") && h.width == 95 && h.height == 30, "147 is a 95 x 30 BMP");
  const QImage img(":/bitmap/147");
  int white = 0;
  int black = 0;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) {
      const QRgb c = img.pixel(x, y) | 0xFF000000u;
      if (c == qRgb(255, 255, 255)) ++white;
      if (c == qRgb(0, 0, 0)) ++black;
    }
  const QRgb w = qRgb(255, 255, 255);
  Check(white == 4 && black == 95 * 30 - 4, "147 is black except four white pixels");
  Check((img.pixel(0, 0) | 0xFF000000u) == w && (img.pixel(94, 0) | 0xFF000000u) == w &&
            (img.pixel(0, 29) | 0xFF000000u) == w && (img.pixel(94, 29) | 0xFF000000u) == w,
        "147's white pixels are its corners");
}

void CheckIcons() {
  for (int size : {16, 32, 48, 256}) {
    const QImage img(QStringLiteral(":/icon/128/%1").arg(size));
    Check(!img.isNull() && img.width() == size && img.height() == size && img.hasAlphaChannel(),
          "icon 128 in its size, with transparency");
  }
}

// The committed files must be what cvf-artgen makes now.
void CheckFresh(const QString& dir) {
  const char* bmps[] = {"147-button-mask.bmp", "163-backdrop.bmp", "164-button.bmp", "165-button-hover.bmp",
                        "166-button-pressed.bmp"};
  const char* ids[] = {"147", "163", "164", "165", "166"};
  for (int i = 0; i < 5; ++i) {
    const QByteArray fresh = ReadAll(dir + "/" + bmps[i]);
    Check(!fresh.isEmpty() && fresh == ReadAll(QStringLiteral(":/bitmap/") + ids[i]),
          "committed bitmap equals a fresh cvf-artgen run (run res/make-artwork.sh)");
  }
  for (int size : {16, 32, 48, 256}) {
    const QImage fresh(dir + QStringLiteral("/128-icon-%1.png").arg(size));
    const QImage kept(QStringLiteral(":/icon/128/%1").arg(size));
    Check(!fresh.isNull() && fresh.convertToFormat(QImage::Format_ARGB32) == kept.convertToFormat(QImage::Format_ARGB32),
          "committed icon equals a fresh cvf-artgen run (run res/make-artwork.sh)");
  }
}

}  // namespace

int main(int argc, char** argv) {
  CheckBackdrop();
  CheckButtons();
  CheckMask();
  CheckIcons();
  if (argc > 1) CheckFresh(QString::fromLocal8Bit(argv[1]));
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
