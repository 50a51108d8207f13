// Dialog units: the template's coordinates, a quarter of the font's average
// character width across and an eighth of its height down, turned into pixels
// from the dialog font the way the Windows dialog manager does it.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace lumbra::app {

struct DialogBaseUnits {
  int x = 0;  // average width of the letters A-Z a-z, in pixels
  int y = 0;  // character height, in pixels
};

// The base units of a font: (width of "A..Za..z" + 26) / 52 across, the
// character height down.
DialogBaseUnits BaseUnitsOf(const QFont& font);

// Pixels from dialog units, rounded like MulDiv.
int DialogUnitsToPixelsX(int units, const DialogBaseUnits& base);
int DialogUnitsToPixelsY(int units, const DialogBaseUnits& base);
QRect DialogUnitsToPixels(const QRect& units, const DialogBaseUnits& base);
QSize DialogUnitsToPixels(const QSize& units, const DialogBaseUnits& base);

}  // namespace lumbra::app
