// What the host sees of the virtual controller as a USB gadget: a USB HID
// device under usbhid with the controller's identity, interrupt endpoints and
// a port that stays when the gadget is unbound and bound again; the product's
// udev rule matches it; and configfs is left as it was found.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "vm_support.h"

namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;
using lumbra::vm::ReadFile;
using lumbra::vm::UsbNode;
using lumbra::vm::WaitFor;
namespace fs = std::filesystem;

// What `command` prints, its standard error too.
std::string Output(const std::string& command) {
  const pid_t pid = lumbra::vm::Spawn({"/bin/sh", "-c", command + " 2>&1"}, "/tmp/run.txt");
  ::waitpid(pid, nullptr, 0);
  return ReadFile("/tmp/run.txt");
}

// `lumbra-cli list --json`'s entry for `node`; null when it lists none.
nlohmann::json Listed(const std::string& node) {
  std::istringstream lines(Output(std::string(lumbra::vm::gCli) + " list --json"));
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json entry = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (entry.is_object() && entry.value("device", "") == node) return entry;
  }
  return nullptr;
}

TEST(UsbSystem, TheHostSeesAUsbHidDeviceThroughUsbhid) {
  const pid_t controller =
      lumbra::vm::Spawn({lumbra::vm::gController, "--quiet", "--gadget", "dummy_udc.0", "--serial", "QX-0042"});
  ASSERT_TRUE(WaitFor([] { return !UsbNode(0).empty(); })) << "no hidraw node on dummy_hcd.0's bus";
  const std::string node = UsbNode(0);
  const fs::path hid = fs::canonical("/sys/class/hidraw" / fs::path(node).filename() / "device");
  const fs::path interface = hid.parent_path();
  EXPECT_THAT(ReadFile(hid / "uevent"), AllOf(HasSubstr("HID_ID=0003:00004242:0000C003"), HasSubstr("HID_UNIQ=QX-0042"),
                                             HasSubstr("HID_NAME=Quorvex virtual controller")));
  EXPECT_EQ(fs::read_symlink(interface / "driver").filename(), "usbhid");
  int endpoints = 0;
  for (const auto& ep : fs::directory_iterator(interface)) {
    if (!ep.path().filename().string().starts_with("ep_")) continue;
    ++endpoints;
    EXPECT_EQ(ReadFile(ep.path() / "type"), "Interrupt\n") << ep.path();
    EXPECT_EQ(ReadFile(ep.path() / "wMaxPacketSize"), "0040\n") << ep.path();
    EXPECT_EQ(ReadFile(ep.path() / "interval"), "1ms\n") << ep.path();
  }
  EXPECT_EQ(endpoints, 2) << "an interrupt IN and an interrupt OUT endpoint";
  const nlohmann::json listed = Listed(node);
  EXPECT_EQ(listed.value("vendor_product", ""), "4242:c003") << listed;
  EXPECT_EQ(listed.value("serial", ""), "QX-0042");
  EXPECT_EQ(listed.value("input_report", 0) * 1000 + listed.value("output_report", 0), 65065);
  EXPECT_EQ(listed.value("port", ""), "1-1");

  // The product's rule gives the node to the user at the seat, where udevadm can
  // be run (a test run needs no udevd): without the rule the node has no tags.
  if (fs::exists("/bin/udevadm") || fs::exists("/usr/bin/udevadm")) {
    const std::string test = "udevadm test " + ("/sys/class/hidraw" / fs::path(node).filename()).string();
    EXPECT_THAT(Output(test), Not(HasSubstr("\nTAGS=")));
    fs::create_directories("/etc/udev/rules.d");
    fs::copy_file(lumbra::vm::gRules, "/etc/udev/rules.d/70-quorvex.rules", fs::copy_options::overwrite_existing);
    EXPECT_THAT(Output(test), ContainsRegex("\nTAGS=[^\n]*:uaccess:"));
  } else {
    std::printf("udevadm is not installed: the udev rule is not tried on the gadget\n");
  }

  // Unplugged and plugged in again: a new node on the same port.
  ASSERT_TRUE(lumbra::vm::BindGadget(0, false));
  EXPECT_TRUE(WaitFor([] { return UsbNode(0).empty(); })) << "the node stayed after the unbind";
  ASSERT_TRUE(lumbra::vm::BindGadget(0, true));
  ASSERT_TRUE(WaitFor([] { return !UsbNode(0).empty(); })) << "no node after the bind";
  EXPECT_EQ(Listed(UsbNode(0)).value("port", ""), "1-1");

  ::kill(controller, SIGTERM);
  int status = -1;
  ::waitpid(controller, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(fs::is_empty("/sys/kernel/config/usb_gadget")) << "configfs is not as it was found";
}

}  // namespace
