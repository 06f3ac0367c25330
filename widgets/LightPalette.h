#pragma once
// Qt's own default light palette (the Fusion style's, as Qt gives it with
// no desktop theme): black text on #efefef windows and buttons, white
// bases, the #308cc6 highlight, and its grey disabled colours. Widgets that
// draw on a fixed picture take their colours from it, so that a dark
// desktop theme does not put light text on the light picture.

#include <QPalette>

QPalette LightPalette();
