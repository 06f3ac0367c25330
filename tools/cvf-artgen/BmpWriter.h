#pragma once
// Writes uncompressed Windows BMP files byte by byte, so that the depth,
// the colour table and every header field are exactly what we ask for.

#include <QImage>
#include <QString>

#include <cstdint>
#include <vector>

namespace artgen {

// An 8-bit indexed image (QImage::Format_Indexed8 with at most 256
// colours) becomes a BMP of 8 bits per pixel with a full 256-entry
// colour table (unused entries black) and biClrUsed 0.
std::vector<std::uint8_t> EncodeBmp8(const QImage& indexed);

// Any other image becomes a BMP of 24 bits per pixel (alpha dropped).
std::vector<std::uint8_t> EncodeBmp24(const QImage& image);

bool WriteFile(const QString& path, const std::vector<std::uint8_t>& bytes);

}  // namespace artgen
