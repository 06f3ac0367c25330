#pragma once
// A picture of the main window made from the artwork and sample texts at
// the window's line positions, to judge readability. Needs a
// QGuiApplication (for fonts); not part of the artwork itself.

#include <QImage>

namespace artgen {

struct ArtSet {
  QImage backdrop;  // as stored: 8 bits per pixel
  QImage normal, hover, pressed;
};

// Two window states side by side: the question after a device search
// (buttons, blue instruction line) and a transfer under way (progress bar).
QImage DrawMockup(const ArtSet& art);

}  // namespace artgen
