#include <gtest/gtest.h>

#include "app/dialog_units.h"

namespace lumbra::app {
namespace {

// MS Sans Serif 8 pt at 96 dpi: base units 6 x 13. The dialog then measures
// 521 x 327 pixels inside its frame on Windows.
TEST(DialogUnitsTest, ConvertsLikeWindowsForMsSansSerif) {
  const DialogBaseUnits base{6, 13};
  EXPECT_EQ(DialogUnitsToPixels(QSize(347, 201), base), QSize(521, 327));
  // 14 units of height: 22.75 pixels, rounded up; 73 across: 109.5, rounded up.
  EXPECT_EQ(DialogUnitsToPixels(QRect(30, 30, 73, 14), base), QRect(45, 49, 110, 23));
  EXPECT_EQ(DialogUnitsToPixelsY(8, base), 13);
  EXPECT_EQ(DialogUnitsToPixelsX(-2, base), -3);  // half away from zero, as MulDiv
}

}  // namespace
}  // namespace lumbra::app
