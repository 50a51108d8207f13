#include "udev_rules.h"

#include <cstdio>

#include "link/device_ids.h"

namespace lumbra::packaging {

std::string UdevRules() {
  // uaccess is applied by 73-seat-late.rules, so this file must sort before it.
  std::string rules =
      "# Quorvex pump and valve controller: lets the logged-in user run lumbra.\n"
      "# Generated from the controller's identifier table; do not edit.\n";
  for (auto vid : link::kQuorvexVendorIds) {
    for (auto pid : link::kQuorvexProductIds) {
      char line[256];
      std::snprintf(line, sizeof line,
                    "KERNEL==\"hidraw*\", ATTRS{idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\", "
                    "TAG+=\"uaccess\"\n"
                    "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"%04x\", ATTR{idProduct}==\"%04x\", "
                    "TAG+=\"uaccess\"\n",
                    vid, pid, vid, pid);
      rules += line;
    }
  }
  return rules;
}

std::string AppStreamModaliases() {
  std::string lines;
  for (auto vid : link::kQuorvexVendorIds) {
    for (auto pid : link::kQuorvexProductIds) {
      char line[64];
      std::snprintf(line, sizeof line, "    <modalias>usb:v%04Xp%04Xd*</modalias>\n", vid, pid);
      lines += line;
    }
  }
  return lines;
}

}  // namespace lumbra::packaging
