// cvf-artgen OUTDIR: draws the tool's backdrop, button faces, button mask
// and icon and writes them into OUTDIR under the names the resource file
// uses. The output depends on nothing but this program and Qt.
// cvf-artgen --mockup FILE.png: writes a picture of the main window made
// from the same artwork with sample texts, to judge readability.

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QString>

#include <cstdio>
#include <cstring>

#include "Artwork.h"
#include "BmpWriter.h"
#include "Mockup.h"
#include "Quantize.h"

namespace {

bool Save(const QString& path, const std::vector<std::uint8_t>& bytes) {
  if (artgen::WriteFile(path, bytes)) return true;
  std::fprintf(stderr, "cvf-artgen: cannot write %s\n", qPrintable(path));
  return false;
}

bool SavePng(const QString& path, const QImage& image) {
  if (image.save(path, "PNG")) return true;
  std::fprintf(stderr, "cvf-artgen: cannot write %s\n", qPrintable(path));
  return false;
}

int WriteMockup(int argc, char** argv) {
  // Text needs fonts, and fonts need a GUI application; no display is used.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const QImage backdrop = artgen::DrawBackdrop();
  const QColor surround = artgen::ButtonSurround(backdrop);
  artgen::ArtSet art;
  art.backdrop = artgen::QuantizeTo256(backdrop);
  art.normal = artgen::DrawButtonFace(artgen::ButtonFace::Normal, surround);
  art.hover = artgen::DrawButtonFace(artgen::ButtonFace::Hover, surround);
  art.pressed = artgen::DrawButtonFace(artgen::ButtonFace::Pressed, surround);
  return SavePng(QString::fromLocal8Bit(argv[2]), artgen::DrawMockup(art)) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--mockup") == 0) return WriteMockup(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: cvf-artgen OUTDIR\n       cvf-artgen --mockup FILE.png\n");
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  if (!out.exists() && !QDir().mkpath(out.path())) {
    std::fprintf(stderr, "cvf-artgen: cannot create %s\n", argv[1]);
    return 1;
  }

  const QImage backdrop = artgen::DrawBackdrop();
  const QColor surround = artgen::ButtonSurround(backdrop);
  bool ok = Save(out.filePath("163-backdrop.bmp"), artgen::EncodeBmp8(artgen::QuantizeTo256(backdrop)));
  ok = Save(out.filePath("164-button.bmp"),
            artgen::EncodeBmp24(artgen::DrawButtonFace(artgen::ButtonFace::Normal, surround))) && ok;
  ok = Save(out.filePath("165-button-hover.bmp"),
            artgen::EncodeBmp24(artgen::DrawButtonFace(artgen::ButtonFace::Hover, surround))) && ok;
  ok = Save(out.filePath("166-button-pressed.bmp"),
            artgen::EncodeBmp24(artgen::DrawButtonFace(artgen::ButtonFace::Pressed, surround))) && ok;
  ok = Save(out.filePath("147-button-mask.bmp"), artgen::EncodeBmp24(artgen::DrawButtonMask())) && ok;
  for (int size : {16, 32, 48, 256})
    ok = SavePng(out.filePath(QStringLiteral("128-icon-%1.png").arg(size)), artgen::DrawIcon(size)) && ok;
  return ok ? 0 : 1;
}
