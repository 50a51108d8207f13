#include "link/hidapi_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace lumbra::link {
namespace {

TEST(HidapiPlatform, DescriptorFileOfAHidrawNode) {
  EXPECT_EQ(SysfsDescriptorPath("/dev/hidraw12"), "/sys/class/hidraw/hidraw12/device/report_descriptor");
  for (const char* notNode : {"", "/dev/hidraw", "/dev/hidraw1x", "/dev/hidraw1/../../etc",
                              "/dev/hidraw-1", "/dev/null", "hidraw1", "/dev/usb/hiddev0"})
    EXPECT_FALSE(SysfsDescriptorPath(notNode)) << notNode;
}

// Runs with and without HID devices: hid_open_path crashes on paths hidapi did not list.
TEST(HidapiPlatform, OpensOnlyListedPaths) {
  HidapiPlatform platform;
  EXPECT_EQ(platform.Open("/dev/hidraw0").error.fault, HidFault::kAbsent) << "opened before any enumeration";
  const std::vector<std::string> paths = platform.Enumerate();
  EXPECT_EQ(std::set(paths.begin(), paths.end()).size(), paths.size()) << "a node listed twice";
  for (const char* path : {"/dev/null", "/dev/hidraw4096", "", "/tmp"})
    EXPECT_TRUE(std::count(paths.begin(), paths.end(), path) || !platform.Open(path).device) << path;
}

}  // namespace
}  // namespace lumbra::link
