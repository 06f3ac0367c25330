#pragma once
// The tool's own pictures, drawn with QPainter in true colour. No fonts
// are used, so the result is the same on every machine with the same Qt.

#include <QColor>
#include <QImage>

namespace artgen {

// Window backdrop, 440 x 456 pixels; stretched over the client area.
constexpr int kBackdropWidth = 440;
constexpr int kBackdropHeight = 456;

// Button faces and mask, 95 x 30 pixels.
constexpr int kButtonWidth = 95;
constexpr int kButtonHeight = 30;

enum class ButtonFace { Normal, Hover, Pressed };

QImage DrawBackdrop();

// `surround` fills the pixels outside the rounded face, which stay visible
// inside the button's window shape; it should match the backdrop there.
QImage DrawButtonFace(ButtonFace face, QColor surround);

// Black where the button is, white at the four corner pixels.
QImage DrawButtonMask();

QImage DrawIcon(int size);

// The backdrop colour that lies behind the buttons.
QColor ButtonSurround(const QImage& backdrop);

}  // namespace artgen
