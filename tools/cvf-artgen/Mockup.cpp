#include "Mockup.h"

#include <QFont>
#include <QPainter>
#include <QString>

namespace artgen {
namespace {

// Client area and control places in pixels: dialog units of the 8-point
// template font, 1.5 pixels across and 1.625 down.
constexpr int kClientW = 440;
constexpr int kClientH = 456;
constexpr double kDuX = 1.5;
constexpr double kDuY = 1.625;
constexpr int kStatusBarH = 23;

QRectF Du(double left, double top, double width, double height) {
  return {left * kDuX, top * kDuY, width * kDuX, height * kDuY};
}

struct Lines {
  QString info[3];
  QString status[4];
  bool blueFourth = false;
  int percent = -1;  // -1: buttons instead of the progress bar
};

void DrawLabel(QPainter& p, const QRectF& r, const QString& text, bool bold, QColor colour) {
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setPointSizeF(9);
  f.setBold(bold);
  p.setFont(f);
  p.setPen(colour);
  p.drawText(r, Qt::AlignCenter, text);
}

void DrawButton(QPainter& p, const QImage& face, QPointF at, const QString& caption) {
  // The four corner pixels are cut away by the button's shape.
  QImage shaped = face.convertToFormat(QImage::Format_ARGB32);
  for (QPoint c : {QPoint(0, 0), QPoint(94, 0), QPoint(0, 29), QPoint(94, 29)}) shaped.setPixel(c, 0);
  p.drawImage(at, shaped);
  DrawLabel(p, QRectF(at.x() + 2, at.y(), 91, 30), caption, false, Qt::black);
}

QImage DrawWindow(const ArtSet& art, const Lines& lines) {
  QImage img(kClientW, kClientH, QImage::Format_RGB32);
  QPainter p(&img);
  p.setRenderHint(QPainter::SmoothPixmapTransform, false);
  p.drawImage(QRect(0, 0, kClientW, kClientH), art.backdrop);
  p.setRenderHint(QPainter::TextAntialiasing, true);

  const double infoTop[] = {90, 102, 114};
  const double statusTop[] = {179, 191, 203, 219};
  for (int i = 0; i < 3; ++i) DrawLabel(p, Du(2, infoTop[i], 289, 15), lines.info[i], false, Qt::black);
  for (int i = 0; i < 4; ++i) {
    const QColor c = (i == 3 && lines.blueFourth) ? QColor(10, 39, 204) : QColor(Qt::black);
    DrawLabel(p, Du(2, statusTop[i], 289, 15), lines.status[i], true, c);
  }

  if (lines.percent < 0) {
    DrawButton(p, art.normal, Du(75, 234, 0, 0).topLeft(), QStringLiteral("Yes"));
    DrawButton(p, art.hover, Du(155, 234, 0, 0).topLeft(), QStringLiteral("No"));
  } else {
    // A stand-in for the percent bar: filled part, rest, centred text.
    const QRectF bar = Du(45, 233, 203, 20);
    p.setPen(QColor(0x7A, 0x8C, 0xA0));
    p.setBrush(Qt::white);
    p.drawRect(bar.adjusted(0, 0, -1, -1));
    const QRectF filled(bar.left() + 1, bar.top() + 1, (bar.width() - 2) * lines.percent / 100.0, bar.height() - 2);
    p.fillRect(filled, QColor(0x2E, 0x6D, 0xB0));
    DrawLabel(p, bar, QStringLiteral("%1%").arg(lines.percent), true, QColor(0x20, 0x20, 0x20));
  }

  // Status bar: panes of client width - 150, 90 and the rest.
  const int top = kClientH - kStatusBarH;
  const int paneW[] = {kClientW - 150, 90, 60};
  const QString pane[] = {QStringLiteral("firmware file"), QStringLiteral("device"), QStringLiteral("COM")};
  int x = 2;
  for (int i = 0; i < 3; ++i) {
    const QRect r(x, top + 3, (i == 2 ? kClientW - x - 2 : paneW[i] - 4), kStatusBarH - 6);
    p.setPen(QColor(0xA8, 0xB4, 0xC0));
    p.setBrush(Qt::NoBrush);
    p.drawRect(r.adjusted(0, 0, -1, -1));
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPointSizeF(8);
    p.setFont(f);
    p.setPen(Qt::black);
    p.drawText(r.adjusted(4, 0, -2, 0), Qt::AlignVCenter | Qt::AlignLeft, pane[i]);
    x += paneW[i];
  }
  p.end();
  return img;
}

}  // namespace

QImage DrawMockup(const ArtSet& art) {
  Lines question;
  question.info[0] = QStringLiteral("Model 7 compatible fimware file loaded.");
  question.info[1] = QStringLiteral("Software Version:");
  question.info[2] = QStringLiteral("V2.10  2026-11-30");
  question.status[0] = QStringLiteral("Device found");
  question.status[1] = QStringLiteral("Current software version:");
  question.status[2] = QStringLiteral("V2.04  2025-06-12");
  question.status[3] = QStringLiteral("Would you like to execute the update now?");
  question.blueFourth = true;

  Lines transfer;
  transfer.info[0] = QStringLiteral("Model 7 compatible fimware file loaded.");
  transfer.info[1] = QStringLiteral("Software Version:");
  transfer.info[2] = QStringLiteral("V2.10  2026-11-30");
  transfer.status[0] = QStringLiteral("Firmware update started");
  transfer.status[1] = QStringLiteral("Remaining time:");
  transfer.status[2] = QStringLiteral("3 min 20 sec");
  transfer.status[3] = QStringLiteral("Klicken Sie auf Weiter um die Verbindung zum Gerat herzustellen.");
  transfer.percent = 42;

  const QImage a = DrawWindow(art, question);
  const QImage b = DrawWindow(art, transfer);
  QImage both(2 * kClientW + 12, kClientH, QImage::Format_RGB32);
  both.fill(QColor(0x60, 0x60, 0x60));
  QPainter p(&both);
  p.drawImage(0, 0, a);
  p.drawImage(kClientW + 12, 0, b);
  p.end();
  return both;
}

}  // namespace artgen
