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

// The records' fixed parts, 32 and 8 bytes on 64-bit Windows, 28 and 5 on
// 32-bit: SetupAPI, and the stand-in, refuse a record of another size.
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == (sizeof(void*) == 8 ? 32 : 28));
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == (sizeof(void*) == 8 ? 8 : 5));

// A report shorter than the output report goes out zero-filled to its length (the
// HID-stack test under Wine sees 65-byte ones only), a longer one not at all; closing
// leaves no handle or event open.
TEST(Win32HidPlatformTest, ShortReportZeroFilledLongOneRefused) {
  FakeWin32Hid api;
  Win32HidPlatform platform(api);
  api.devices = {{.path = "controller", .outputLength = 50}};
  platform.Enumerate();
  std::unique_ptr<HidDevice> device = platform.Open("controller");
  ASSERT_NE(device, nullptr);
  const Bytes line = {0x00, 's', 'e', 'r', 'v', 'i', 'c', 'e', '.', 'o', 'n', 0x0D};
  ASSERT_TRUE(device->WriteReport(line));
  EXPECT_FALSE(device->WriteReport(Bytes(51, 'x')));
  Bytes expected = line;
  expected.resize(50, 0);
  ASSERT_EQ(api.writes.size(), 1u);
  EXPECT_EQ(api.writes[0].second, expected);
  device.reset();
  EXPECT_TRUE(api.open.empty());
  EXPECT_TRUE(api.events.empty());
}

// A transfer waits on its event for its time-out; one still pending then is
// cancelled on its own handle and its end awaited, without blocking for ever.
// A read that simply times out is the HID-stack test's under Wine.
TEST(Win32HidTransferTest, Outcomes) {
  using D = FakeHidDevice;
  using R = ReadOutcome;
  const std::string untouched = "\xEE\xEE\xEE";
  const struct {
    D::Quirk quirk;
    bool write;     // else a read with a time-out of 6000 ms
    R outcome;      // of a write: kReport written, kFailed not
    DWORD wait;     // 0: none
    bool cancelled;
    std::string text;  // bytes 1..3 of the report read
  } rows[] = {
      {D::kWritesHang, true, R::kFailed, kWriteTimeoutMs, true, untouched},
      {D::kReportArrivesLate, false, R::kReport, 6000, true, std::string("OK\0", 3)},
      {D::kReadsFail, false, R::kFailed, 0, false, untouched},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.quirk);
    FakeWin32Hid api;
    Win32HidPlatform platform(api);
    api.devices = {{.path = "controller", .quirk = row.quirk}};
    platform.Enumerate();
    std::unique_ptr<HidDevice> device = platform.Open("controller");
    Bytes report(65, 0xEE);
    EXPECT_EQ(row.write ? (device->WriteReport(report) ? R::kReport : R::kFailed)
                        : device->ReadReport(report, 6000),
              row.outcome);
    EXPECT_EQ(api.waits, std::vector<DWORD>(row.wait != 0, row.wait));
    const HANDLE file = row.write ? api.writes[0].first : api.reads[0];
    EXPECT_EQ(api.cancelled, std::vector<HANDLE>(row.cancelled, file));
    EXPECT_EQ(std::string(report.begin() + 1, report.begin() + 4), row.text);
    EXPECT_FALSE(api.blockedForever);
  }
}

// Every listed device is examined and foreign ones are closed. One Windows refuses
// for reading and writing says why, and is identified through a handle that asks
// for no access: a locked controller is named as such, a keyboard is no controller.
TEST(Win32HidPlatformTest, ListsEveryDeviceAndNamesALockedController) {
  const struct { DWORD refusal; Discovery end; } rows[] = {
      {ERROR_ACCESS_DENIED, Discovery::kAccessDenied}, {ERROR_SHARING_VIOLATION, Discovery::kAccessDenied},
      {ERROR_GEN_FAILURE, Discovery::kNotFound}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.refusal);
    FakeWin32Hid api;
    Win32HidPlatform platform(api);
    const auto refuses = FakeHidDevice::kRefusesReadWrite;
    api.devices = {{R"(\\?\hid#vid_046d&pid_c31c#1)", 0x046D, 0xC31C, refuses},
                   {"mouse", 0x046D, 0xC077},
                   {.path = "locked controller", .quirk = refuses, .refusal = row.refusal}};
    HidLink link(platform, 48);
    EXPECT_EQ(link.SendLine("service.on"), SendResult::kLinkLost);
    EXPECT_EQ(link.LastDiscovery(), row.end);
    EXPECT_EQ(link.LastError().osCode, row.end == Discovery::kAccessDenied ? int(row.refusal) : 0);
    EXPECT_TRUE(api.open.empty()) << "a foreign or query handle was left open";
    EXPECT_EQ(api.setsOpen, 0) << "a device information set was not released";
  }
}

}  // namespace
}  // namespace lumbra::link
