#include "udev_rules.h"

#include <gtest/gtest.h>

#include <sstream>

namespace lumbra::packaging {
namespace {

TEST(UdevRules, HidrawAndUsbLineForEveryAcceptedPair) {
  std::istringstream rules(UdevRules());
  int hidraw = 0;
  int usb = 0;
  for (std::string line; std::getline(rules, line);) {
    if (line.empty() || line[0] == '#') continue;
    EXPECT_NE(line.find("TAG+=\"uaccess\""), std::string::npos) << line;
    hidraw += line.starts_with("KERNEL==\"hidraw*\"");
    usb += line.starts_with("SUBSYSTEM==\"usb\"");
  }
  EXPECT_EQ(hidraw, 9);
  EXPECT_EQ(usb, 9);
  // Lower-case hex, as udev compares the sysfs text.
  EXPECT_NE(UdevRules().find("ATTRS{idVendor}==\"4242\", ATTRS{idProduct}==\"c003\""), std::string::npos);
  EXPECT_NE(UdevRules().find("ATTR{idVendor}==\"0614\", ATTR{idProduct}==\"0400\""), std::string::npos);
  EXPECT_EQ(UdevRules().find("C003"), std::string::npos);
}

}  // namespace
}  // namespace lumbra::packaging
