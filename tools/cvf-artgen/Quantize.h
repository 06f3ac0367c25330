#pragma once
// Reduces a true-colour picture to 256 colours: a palette built for the
// picture's own colours, then Floyd-Steinberg error diffusion.

#include <QImage>

namespace artgen {

// Returns a QImage::Format_Indexed8 image with exactly 256 colour-table
// entries. Colours that cover large areas (flat fills and the steps of
// slow gradients) get a palette entry of their own and are reproduced
// exactly, without dither noise; the rest of the palette comes from a
// median cut over the remaining colours. Deterministic.
QImage QuantizeTo256(const QImage& source);

}  // namespace artgen
