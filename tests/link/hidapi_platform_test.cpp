#include "link/hidapi_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace lumbra::link {
namespace {

TEST(HidapiPlatformTest, DescriptorFileOfAHidrawNode) {
  EXPECT_EQ(SysfsDescriptorPath("/dev/hidraw0"),
            "/sys/class/hidraw/hidraw0/device/report_descriptor");
  EXPECT_EQ(SysfsDescriptorPath("/dev/hidraw12"),
            "/sys/class/hidraw/hidraw12/device/report_descriptor");

  for (const char* notNode : {"", "/dev/hidraw", "/dev/hidraw1x", "/dev/hidraw1/../../etc",
                              "/dev/hidraw-1", "/dev/null", "hidraw1", "/dev/usb/hiddev0"}) {
    EXPECT_FALSE(SysfsDescriptorPath(notNode)) << notNode;
  }
}

// Runs on machines with and without HID devices: only paths hidapi listed may
// reach hid_open_path, which crashes on anything else.
TEST(HidapiPlatformTest, OpensOnlyListedPaths) {
  HidapiPlatform platform;
  EXPECT_EQ(platform.Open("/dev/hidraw0"), nullptr) << "opened before any enumeration";

  const std::vector<std::string> paths = platform.Enumerate();
  EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), paths.size())
      << "a node listed twice";

  for (const char* path : {"/dev/null", "/dev/hidraw4096", "", "/tmp"}) {
    if (std::find(paths.begin(), paths.end(), path) != paths.end()) continue;
    EXPECT_EQ(platform.Open(path), nullptr) << path;
  }
}

}  // namespace
}  // namespace lumbra::link
