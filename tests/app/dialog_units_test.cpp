#include <gtest/gtest.h>

#include <QFontMetrics>
#include <cstdlib>

#include "app/dialog_units.h"

namespace lumbra::app {
namespace {

// MS Sans Serif 8 pt at 96 dpi: base units 6 x 13. The dialog then measures
// 521 x 327 pixels on Windows.
TEST(DialogUnitsTest, ConvertsLikeWindowsForMsSansSerif) {
  const DialogBaseUnits base{6, 13};
  EXPECT_EQ(DialogUnitsToPixels(QSize(347, 201), base), QSize(521, 327));
  // 14 units of height: 22.75 pixels, rounded up; 73 across: 109.5, rounded up.
  EXPECT_EQ(DialogUnitsToPixels(QRect(30, 30, 73, 14), base), QRect(45, 49, 110, 23));
  EXPECT_EQ(DialogUnitsToPixelsY(8, base), 13);
  EXPECT_EQ(DialogUnitsToPixelsX(-2, base), -3);  // half away from zero, as MulDiv
}

TEST(DialogUnitsTest, BaseUnitsRoundTheAverageLetterWidth) {
  QFont font(QStringLiteral("Liberation Sans"));
  font.setPixelSize(11);
  const DialogBaseUnits base = BaseUnitsOf(font);
  const QFontMetrics metrics(font);
  const int letters =
      metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  // Rounded to the nearest pixel, not truncated.
  EXPECT_LE(std::abs(base.x * 52 - letters), 26);
  EXPECT_EQ(base.y, metrics.height());
}

}  // namespace
}  // namespace lumbra::app
