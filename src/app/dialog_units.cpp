#include "app/dialog_units.h"

#include <QFontMetrics>
#include <QString>

namespace lumbra::app {

namespace {

// units * base / divisor, rounded half away from zero as MulDiv does.
int MulDiv(int units, int base, int divisor) {
  const long long product = static_cast<long long>(units) * base;
  const long long half = divisor / 2;
  return static_cast<int>(product >= 0 ? (product + half) / divisor : (product - half) / divisor);
}

}  // namespace

DialogBaseUnits BaseUnitsOf(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters =
      metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return {(letters + 26) / 52, metrics.height()};
}

int DialogUnitsToPixelsX(int units, const DialogBaseUnits& base) { return MulDiv(units, base.x, 4); }

int DialogUnitsToPixelsY(int units, const DialogBaseUnits& base) { return MulDiv(units, base.y, 8); }

QRect DialogUnitsToPixels(const QRect& units, const DialogBaseUnits& base) {
  return {DialogUnitsToPixelsX(units.x(), base), DialogUnitsToPixelsY(units.y(), base),
          DialogUnitsToPixelsX(units.width(), base), DialogUnitsToPixelsY(units.height(), base)};
}

QSize DialogUnitsToPixels(const QSize& units, const DialogBaseUnits& base) {
  return {DialogUnitsToPixelsX(units.width(), base), DialogUnitsToPixelsY(units.height(), base)};
}

}  // namespace lumbra::app
