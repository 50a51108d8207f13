#include "link/hidapi_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
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

// A made-up sysfs tree, linked as the kernel links it: the port is the nearest USB
// device above the node, never an interface, a root hub or the tree's own folder.
TEST(HidapiPlatform, PortOfANodeFromSysfs) {
  namespace fs = std::filesystem;
  const fs::path root = fs::path(::testing::TempDir()) / "1-9";  // named like a port
  fs::remove_all(root);
  fs::create_directories(root / "class/hidraw");
  const struct { const char* node; const char* device; std::string port; } rows[] = {
      {"hidraw3", "pci0000:00/0000:00:14.0/usb1/1-1/1-1.2/1-1.2:1.0/0003:4242:C003.0001", "1-1.2"},
      {"hidraw4", "pci0000:00/0000:00:14.0/usb3/3-2/3-2:1.1/0003:4242:C003.0002", "3-2"},
      {"hidraw5", "virtual/misc/uhid/0003:4242:C003.0003", "/dev/hidraw5"},  // uhid: none
  };
  for (const auto& row : rows) {
    const fs::path node = root / "devices" / row.device / "hidraw" / row.node;
    fs::create_directories(node);
    fs::create_directory_symlink(node, root / "class/hidraw" / row.node);
    fs::create_directory_symlink(node.parent_path().parent_path(), node / "device");
    EXPECT_EQ(UsbPortOfNode(root, "/dev/" + std::string(row.node)), row.port);
  }
  for (const char* absent : {"/dev/hidraw6", "emulated:0"}) EXPECT_EQ(UsbPortOfNode(root, absent), absent);
  fs::remove_all(root);
}

}  // namespace
}  // namespace lumbra::link
