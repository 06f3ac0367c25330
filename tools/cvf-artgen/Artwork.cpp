#include "Artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>

namespace artgen {
namespace {

// Where things sit on the 440 x 456 backdrop. The window's text lines lie
// at about y 146-210 (title and information lines) and y 291-380 (status
// lines), the buttons and the progress bar at about y 379-411, and the
// status bar covers the bottom 22 pixels or so. Those areas stay plain.
constexpr int kHeaderBottom = 118;  // dark header band 0 .. 118
constexpr int kAccentHeight = 3;    // accent line under the header
constexpr int kFooterTop = 431;     // band behind the status bar
constexpr int kPanelTop = 279;     // light band 279 .. 422
constexpr int kPanelBottom = 422;

const QColor kHeaderTop{0x1C, 0x36, 0x56};
const QColor kHeaderBottomColour{0x2A, 0x51, 0x7C};
const QColor kAccent{0x4C, 0x93, 0xC8};
const QColor kBodyTop{0xF7, 0xF9, 0xFB};
const QColor kBodyBottom{0xE3, 0xE9, 0xEF};
const QColor kPanel{0xFB, 0xFC, 0xFD};
const QColor kPanelLine{0xC9, 0xD4, 0xDF};
const QColor kFooter{0xD8, 0xDF, 0xE7};
const QColor kFooterLine{0xC0, 0xCB, 0xD6};

void DrawHeader(QPainter& p) {
  QLinearGradient band(0, 0, 0, kHeaderBottom);
  band.setColorAt(0.0, kHeaderTop);
  band.setColorAt(1.0, kHeaderBottomColour);
  p.fillRect(QRectF(0, 0, kBackdropWidth, kHeaderBottom), band);

  // A soft light from the upper left.
  QRadialGradient sheen(QPointF(90, -40), 260);
  sheen.setColorAt(0.0, QColor(255, 255, 255, 34));
  sheen.setColorAt(1.0, QColor(255, 255, 255, 0));
  p.fillRect(QRectF(0, 0, kBackdropWidth, kHeaderBottom), sheen);

  QLinearGradient accent(0, 0, kBackdropWidth, 0);
  accent.setColorAt(0.0, kAccent.darker(115));
  accent.setColorAt(0.5, kAccent);
  accent.setColorAt(1.0, kAccent.darker(115));
  p.fillRect(QRectF(0, kHeaderBottom, kBackdropWidth, kAccentHeight), accent);
}

// Circuit traces running from the left into a chip on the right side of
// the header, with a few data blocks on their way to it.
void DrawChipMotif(QPainter& p) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing, true);
  const QPointF centre(366, 59);
  const double body = 54;
  const QRectF chip(centre.x() - body / 2, centre.y() - body / 2, body, body);
  const int pinsPerSide = 6;
  const double pitch = body / (pinsPerSide + 1);

  // Traces: leave the left pins, bend by 45 degrees, fade out to the left.
  const QColor trace(0x6E, 0x9E, 0xCB, 110);
  for (int i = 0; i < pinsPerSide; ++i) {
    const double y = chip.top() + pitch * (i + 1);
    const double spread = (i - (pinsPerSide - 1) / 2.0) * 9.0;
    const double x0 = chip.left() - 9;
    const double bendX = x0 - 26 - std::abs(spread) * 0.6;
    const double y1 = y + spread;
    const double x1 = bendX - std::abs(y1 - y);
    const double x2 = 150 + 22 * std::abs(i - 2.5);
    QPainterPath path(QPointF(x0, y));
    path.lineTo(bendX, y);
    path.lineTo(x1, y1);
    path.lineTo(x2, y1);
    QLinearGradient fade(x2, 0, x0, 0);
    fade.setColorAt(0.0, QColor(trace.red(), trace.green(), trace.blue(), 0));
    fade.setColorAt(0.45, trace);
    fade.setColorAt(1.0, trace);
    p.setPen(QPen(QBrush(fade), 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);
    // A via where the trace starts to fade.
    const double vx = x2 + (x1 - x2) * 0.55;
    p.setPen(QPen(QColor(0x8C, 0xB6, 0xDC, 120), 1.2));
    p.setBrush(kHeaderBottomColour);
    p.drawEllipse(QPointF(vx, y1), 2.6, 2.6);
  }

  // Short traces from the top and bottom pins, ending at vias.
  for (int i = 0; i < pinsPerSide; ++i) {
    const double x = chip.left() + pitch * (i + 1);
    for (int side = -1; side <= 1; side += 2) {
      const double y0 = side < 0 ? chip.top() - 9 : chip.bottom() + 9;
      const double len = 6 + 3 * ((i * 7 + (side + 1) * 3) % 4);
      const double y1 = y0 + side * len;
      p.setPen(QPen(trace, 1.4, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(x, y0), QPointF(x, y1));
      p.setPen(QPen(QColor(0x8C, 0xB6, 0xDC, 110), 1.1));
      p.setBrush(kHeaderBottomColour);
      p.drawEllipse(QPointF(x, y1 + side * 2.4), 2.2, 2.2);
    }
  }
  // The right pins lead off the edge of the window.
  for (int i = 0; i < pinsPerSide; ++i) {
    const double y = chip.top() + pitch * (i + 1);
    p.setPen(QPen(trace, 1.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(chip.right() + 9, y), QPointF(kBackdropWidth + 2, y));
  }

  // Data blocks on the two middle traces, on their way into the chip.
  for (int row = 0; row < 2; ++row) {
    const double y = chip.top() + pitch * (3 + row);
    for (int k = 0; k < 3; ++k) {
      const double x = chip.left() - 52 + row * 5 + k * 14;
      const int alpha = 80 + 50 * k;
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0xA8, 0xD2, 0xF0, alpha));
      p.drawRoundedRect(QRectF(x, y - 2.5, 9, 5), 1.5, 1.5);
    }
  }

  // Pins.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x8F, 0xB4, 0xD6));
  for (int i = 0; i < pinsPerSide; ++i) {
    const double o = pitch * (i + 1);
    p.drawRoundedRect(QRectF(chip.left() - 9, chip.top() + o - 2, 10, 4), 1, 1);
    p.drawRoundedRect(QRectF(chip.right() - 1, chip.top() + o - 2, 10, 4), 1, 1);
    p.drawRoundedRect(QRectF(chip.left() + o - 2, chip.top() - 9, 4, 10), 1, 1);
    p.drawRoundedRect(QRectF(chip.left() + o - 2, chip.bottom() - 1, 4, 10), 1, 1);
  }

  // Package with a die and a pin-one mark.
  QLinearGradient pkg(chip.topLeft(), chip.bottomRight());
  pkg.setColorAt(0.0, QColor(0x3C, 0x68, 0x96));
  pkg.setColorAt(1.0, QColor(0x22, 0x44, 0x6A));
  p.setPen(QPen(QColor(0x7F, 0xA9, 0xD1), 1.2));
  p.setBrush(pkg);
  p.drawRoundedRect(chip, 5, 5);
  const QRectF die = chip.adjusted(15, 15, -15, -15);
  p.setPen(QPen(QColor(0x9F, 0xC6, 0xE8, 170), 1.0));
  p.setBrush(QColor(0x4A, 0x7C, 0xAE, 120));
  p.drawRoundedRect(die, 2, 2);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xB8, 0xD8, 0xF2, 150));
  p.drawEllipse(QPointF(chip.left() + 7.5, chip.top() + 7.5), 2.2, 2.2);
  p.restore();
}

void DrawBody(QPainter& p) {
  QLinearGradient body(0, kHeaderBottom + kAccentHeight, 0, kFooterTop);
  body.setColorAt(0.0, kBodyTop);
  body.setColorAt(1.0, kBodyBottom);
  p.fillRect(QRectF(0, kHeaderBottom + kAccentHeight, kBackdropWidth,
                    kFooterTop - kHeaderBottom - kAccentHeight),
             body);

  // A soft shadow under the header.
  QLinearGradient shade(0, kHeaderBottom + kAccentHeight, 0, kHeaderBottom + kAccentHeight + 8);
  shade.setColorAt(0.0, QColor(0x1C, 0x36, 0x56, 40));
  shade.setColorAt(1.0, QColor(0x1C, 0x36, 0x56, 0));
  p.fillRect(QRectF(0, kHeaderBottom + kAccentHeight, kBackdropWidth, 8), shade);

  // A plain light band behind the status lines, the buttons and the
  // progress bar, full width so that no edge crosses a long text line.
  p.fillRect(QRectF(0, kPanelTop, kBackdropWidth, kPanelBottom - kPanelTop), kPanel);
  p.fillRect(QRectF(0, kPanelTop, kBackdropWidth, 1), kPanelLine);
  p.fillRect(QRectF(0, kPanelBottom - 1, kBackdropWidth, 1), kPanelLine);
  QLinearGradient under(0, kPanelBottom, 0, kPanelBottom + 5);
  under.setColorAt(0.0, QColor(0x1C, 0x36, 0x56, 22));
  under.setColorAt(1.0, QColor(0x1C, 0x36, 0x56, 0));
  p.fillRect(QRectF(0, kPanelBottom, kBackdropWidth, 5), under);

  // Band behind the status bar.
  p.fillRect(QRectF(0, kFooterTop, kBackdropWidth, kBackdropHeight - kFooterTop), kFooter);
  p.fillRect(QRectF(0, kFooterTop, kBackdropWidth, 1), kFooterLine);
}

}  // namespace

QImage DrawBackdrop() {
  QImage img(kBackdropWidth, kBackdropHeight, QImage::Format_RGB32);
  img.fill(kBodyTop);
  QPainter p(&img);
  DrawHeader(p);
  DrawChipMotif(p);
  DrawBody(p);
  p.end();
  return img;
}

QColor ButtonSurround(const QImage& backdrop) {
  // The middle of the main button's place, left of the button itself.
  return backdrop.pixelColor(100, 395);
}

QImage DrawButtonFace(ButtonFace face, QColor surround) {
  QImage img(kButtonWidth, kButtonHeight, QImage::Format_RGB32);
  img.fill(surround);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing, true);
  const QRectF outer(0.5, 0.5, kButtonWidth - 1.0, kButtonHeight - 1.0);
  const double radius = 4.0;

  QColor top, bottom, border, highlight;
  switch (face) {
    case ButtonFace::Normal:
      top = QColor(0xFF, 0xFF, 0xFF);
      bottom = QColor(0xDD, 0xE5, 0xEE);
      border = QColor(0x86, 0x9A, 0xB0);
      highlight = QColor(255, 255, 255, 200);
      break;
    case ButtonFace::Hover:
      top = QColor(0xFF, 0xFF, 0xFF);
      bottom = QColor(0xCF, 0xE2, 0xF4);
      border = QColor(0x3E, 0x7C, 0xB8);
      highlight = QColor(255, 255, 255, 220);
      break;
    case ButtonFace::Pressed:
      top = QColor(0xC4, 0xD3, 0xE3);
      bottom = QColor(0xE2, 0xEA, 0xF2);
      border = QColor(0x3A, 0x64, 0x90);
      highlight = QColor(0x5A, 0x78, 0x98, 70);
      break;
  }
  QLinearGradient fill(0, 0, 0, kButtonHeight);
  fill.setColorAt(0.0, top);
  fill.setColorAt(1.0, bottom);
  p.setPen(QPen(border, 1.0));
  p.setBrush(fill);
  p.drawRoundedRect(outer, radius, radius);

  // Inner line: light along the top for the raised faces, a shadow for the pressed one.
  p.setPen(QPen(highlight, 1.0));
  p.setBrush(Qt::NoBrush);
  if (face == ButtonFace::Pressed) {
    p.drawLine(QPointF(3, 1.5), QPointF(kButtonWidth - 3, 1.5));
  } else {
    p.drawRoundedRect(outer.adjusted(1, 1, -1, -1), radius - 1, radius - 1);
  }
  p.end();
  return img;
}

QImage DrawButtonMask() {
  QImage img(kButtonWidth, kButtonHeight, QImage::Format_RGB32);
  img.fill(Qt::black);
  const QRgb white = qRgb(255, 255, 255);
  img.setPixel(0, 0, white);
  img.setPixel(kButtonWidth - 1, 0, white);
  img.setPixel(0, kButtonHeight - 1, white);
  img.setPixel(kButtonWidth - 1, kButtonHeight - 1, white);
  return img;
}

QImage DrawIcon(int size) {
  QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing, true);
  const double s = size;
  // Drawn on a 32-unit grid; the main edges lie on even units, so they fall
  // on whole pixels at 16 pixels and above.
  const double u = s / 32.0;

  // Rounded tile.
  const QRectF tile = size >= 32 ? QRectF(0.5 * u, 0.5 * u, s - u, s - u) : QRectF(0, 0, s, s);
  QLinearGradient bg(0, 0, 0, s);
  bg.setColorAt(0.0, QColor(0x3A, 0x78, 0xB4));
  bg.setColorAt(1.0, QColor(0x1C, 0x3F, 0x68));
  p.setPen(size >= 32 ? QPen(QColor(0x16, 0x30, 0x50), std::max(1.0, u * 0.6)) : QPen(Qt::NoPen));
  p.setBrush(bg);
  p.drawRoundedRect(tile, 6 * u, 6 * u);
  if (size >= 48) {
    // A faint light along the upper half.
    QLinearGradient gloss(0, 0, 0, s / 2);
    gloss.setColorAt(0.0, QColor(255, 255, 255, 46));
    gloss.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(gloss);
    p.drawRoundedRect(tile.adjusted(u, u, -u, -s / 2), 5 * u, 5 * u);
  }

  // Chip in the lower part, pins on its left and right.
  const QRectF chip(8 * u, 16 * u, 16 * u, 12 * u);
  const int pins = size >= 64 ? 4 : (size >= 32 ? 3 : 2);
  const double pinLen = 4 * u;
  const double pinW = std::max(1.0, std::round(1.5 * u));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xD2, 0xE4, 0xF4));
  for (int i = 0; i < pins; ++i) {
    const double centre = chip.top() + chip.height() * (i + 1) / (pins + 1);
    const double top = std::round(centre - pinW / 2);
    p.drawRect(QRectF(chip.left() - pinLen, top, pinLen, pinW));
    p.drawRect(QRectF(chip.right(), top, pinLen, pinW));
  }
  p.setBrush(QColor(0xF4, 0xF8, 0xFC));
  p.drawRoundedRect(chip, 1.5 * u, 1.5 * u);
  if (size >= 32) {
    p.setBrush(QColor(0x3A, 0x78, 0xB4));
    p.drawEllipse(QPointF(chip.left() + 2.5 * u, chip.top() + 2.5 * u), 1.1 * u, 1.1 * u);
  }
  if (size >= 48) {
    // The die inside the package.
    p.setPen(QPen(QColor(0x9C, 0xBC, 0xDA), std::max(1.0, 0.6 * u)));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(chip.adjusted(4.5 * u, 3 * u, -4.5 * u, -3 * u), 0.8 * u, 0.8 * u);
    p.setPen(Qt::NoPen);
  }

  // Arrow coming down into the chip.
  QPainterPath arrow;
  arrow.moveTo(14 * u, 2 * u);
  arrow.lineTo(18 * u, 2 * u);
  arrow.lineTo(18 * u, 8 * u);
  arrow.lineTo(24 * u, 8 * u);
  arrow.lineTo(16 * u, 15 * u);
  arrow.lineTo(8 * u, 8 * u);
  arrow.lineTo(14 * u, 8 * u);
  arrow.closeSubpath();
  p.setBrush(QColor(0x7F, 0xD8, 0xC8));
  p.drawPath(arrow);
  p.end();
  return img;
}

}  // namespace artgen
