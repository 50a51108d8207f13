// The Windows HID platform against a stand-in for the Windows calls. What the
// link makes of each outcome is tested in tests/link against scripted devices.
#include "link/win32_hid_platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_win32_hid.h"
#include "link/hid_link.h"

namespace lumbra::link {
namespace {

using testing::FakeHidDevice;
using testing::FakeWin32Hid;
using Bytes = std::vector<std::uint8_t>;

// A report shorter than the output report goes out zero-filled to its length (the
// HID-stack test under Wine sees 65-byte ones only), a longer one not at all; closing
// leaves no handle or event open.
TEST(Win32HidPlatformTest, ShortReportZeroFilledLongOneRefused) {
  FakeWin32Hid api;
  Win32HidPlatform platform(api);
  api.device.outputLength = 50;
  platform.Enumerate();
  std::unique_ptr<HidDevice> device = platform.Open(FakeWin32Hid::kPath).device;
  ASSERT_NE(device, nullptr);
  ASSERT_TRUE(device->WriteReport(Bytes{0x00, 'o', 'n', 0x0D}));
  EXPECT_FALSE(device->WriteReport(Bytes(51, 'x')));
  Bytes expected(50, 0x00);
  std::copy_n("\0on\r", 4, expected.begin());
  EXPECT_EQ(api.writes, std::vector<Bytes>{expected});
  device.reset();
  EXPECT_TRUE(api.handles.empty());
}

// A transfer waits on its event for its time-out; one still pending then is
// cancelled on its own handle and its end awaited, without blocking for ever.
// A read that simply times out is the HID-stack test's under Wine.
TEST(Win32HidTransferTest, Outcomes) {
  using D = FakeHidDevice;
  using R = ReadOutcome;
  // A write on the device whose writes hang, else a read with a time-out of 6000 ms;
  // the outcome of a write: kReport written, kFailed not. Wait 0: none.
  const struct { D::Quirk quirk; R outcome; DWORD wait; } rows[] = {
      {D::kWritesHang, R::kFailed, kWriteTimeoutMs},
      {D::kReportArrivesLate, R::kReport, 6000},
      {D::kReadsFail, R::kFailed, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.quirk);
    FakeWin32Hid api;
    Win32HidPlatform platform(api);
    api.device.quirk = row.quirk;
    platform.Enumerate();
    std::unique_ptr<HidDevice> device = platform.Open(FakeWin32Hid::kPath).device;
    Bytes report(65, 0xEE);
    EXPECT_EQ(row.quirk == D::kWritesHang ? (device->WriteReport(report) ? R::kReport : R::kFailed)
                                          : device->ReadReport(report, 6000),
              row.outcome);
    EXPECT_EQ(api.waits, std::vector<DWORD>(row.wait != 0, row.wait));
    EXPECT_EQ(api.cancelled, std::vector<bool>(row.wait != 0, true)) << "not, or another handle";
    // The report read, and only a report read, is written into the caller's buffer.
    EXPECT_EQ(std::string(report.begin() + 1, report.begin() + 4),
              row.outcome == R::kReport ? std::string("OK\0", 3) : "\xEE\xEE\xEE");
    EXPECT_FALSE(api.blockedForever);
  }
}

// A controller Windows refuses for reading and writing says why, and is identified
// through a handle that asks for no access: locked, it is named as such. Foreign
// devices examined and closed are the HID-stack test's under Wine.
TEST(Win32HidPlatformTest, NamesALockedController) {
  const struct { DWORD refusal; Discovery end; } rows[] = {
      {ERROR_ACCESS_DENIED, Discovery::kAccessDenied}, {ERROR_SHARING_VIOLATION, Discovery::kAccessDenied},
      {ERROR_GEN_FAILURE, Discovery::kNotFound}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.refusal);
    FakeWin32Hid api;
    Win32HidPlatform platform(api);
    api.device = {.quirk = FakeHidDevice::kRefusesReadWrite, .refusal = row.refusal};
    HidLink link(platform, 48);
    EXPECT_EQ(link.SendLine("service.on"), SendResult::kLinkLost);
    EXPECT_EQ(link.LastDiscovery(), row.end);
    EXPECT_EQ(link.LastError().osCode, row.end == Discovery::kAccessDenied ? int(row.refusal) : 0);
    EXPECT_TRUE(api.handles.empty()) << "the query handle was left open";
    EXPECT_EQ(api.setsOpen, 0) << "a device information set was not released";
  }
}

// The port is the USB parent's first location path, however long; without one
// (Wine's), and for a path not listed, the path stands in.
TEST(Win32HidPlatformTest, PortIsTheUsbParentsLocationPath) {
  const std::string usb = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)", deep = usb + std::string(600, 'X');
  const struct { std::string locationPaths, port; } rows[] = {
      {usb + '\0' + "ACPI(_SB_)#ACPI(PCI0)" + '\0', usb}, {deep, deep}, {"", FakeWin32Hid::kPath}};
  for (const auto& row : rows) {
    FakeWin32Hid api;
    Win32HidPlatform platform(api);
    api.locationPaths = row.locationPaths;
    EXPECT_EQ(platform.Port(FakeWin32Hid::kPath), FakeWin32Hid::kPath) << "before any enumeration";
    platform.Enumerate();
    EXPECT_EQ(platform.Port(FakeWin32Hid::kPath), row.port);
  }
}

}  // namespace
}  // namespace lumbra::link
