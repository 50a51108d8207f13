// The Windows HID platform against a stand-in for the Windows calls: record
// sizing, the two handles, overlapped reads and writes with their time-outs,
// the serial number, and foreign and refused devices. What the link makes of
// each outcome is tested in tests/link against scripted devices.
#include "link/win32_hid_platform.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_win32_hid.h"
#include "link/device_ids.h"

namespace lumbra::link {
namespace {

using testing::FakeHidDevice;
using testing::FakeWin32Hid;

class Win32HidPlatformTest : public ::testing::Test {
 protected:
  // Enumerates the devices of the table and opens the first.
  std::unique_ptr<HidDevice> OpenFirst(std::vector<FakeHidDevice> devices) {
    api_.devices = std::move(devices);
    platform_.Enumerate();
    return platform_.Open(api_.devices[0].path);
  }

  FakeWin32Hid api_;
  Win32HidPlatform platform_{api_};
  std::vector<std::uint8_t> report_ = std::vector<std::uint8_t>(65, 0);
};

TEST_F(Win32HidPlatformTest, RecordsAreSizedForThisArchitecture) {
  // The stand-in, like SetupAPI, refuses a record of the other architecture's
  // size (the 32-bit 28 and 5 make the 64-bit SetupAPI list nothing).
#ifdef _WIN64
  static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32 && sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);
#else
  static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28 && sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);
#endif
  api_.devices = {{R"(\\?\hid#vid_4242&pid_c003#1)"}, {R"(\\?\hid#vid_046d&pid_c077#2)", 0x046D, 0xC077}};
  EXPECT_EQ(platform_.Enumerate(), (std::vector<std::string>{api_.devices[0].path, api_.devices[1].path}));
  EXPECT_EQ(api_.setsOpen, 0) << "a device information set was not released";
  EXPECT_EQ(platform_.Open("unlisted"), nullptr) << "opened a path no enumeration listed";
}

TEST_F(Win32HidPlatformTest, TwoHandlesIdentifyWriteAndRead) {
  std::unique_ptr<HidDevice> device = OpenFirst({{"controller"}});
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(api_.open.size(), 2u);
  ASSERT_TRUE(device->Attributes());
  EXPECT_EQ(device->Attributes()->productId, 0xC003);
  // Writes go to the handle the device is identified by, reads to the other.
  ASSERT_TRUE(device->WriteReport(report_));
  api_.devices[0].reports.push_back({0x00, 'O', 'K'});
  ASSERT_EQ(device->ReadReport(report_, 6000), ReadOutcome::kReport);
  EXPECT_NE(api_.writes.back().first, api_.reads.back());
  // Closing the device closes both handles and both events.
  device.reset();
  EXPECT_TRUE(api_.open.empty());
  EXPECT_TRUE(api_.events.empty());
}

TEST_F(Win32HidPlatformTest, SerialNumberIsReadAsPrintableText) {
  FakeHidDevice controller{"controller"};
  controller.serial = L"QVX-0042\u00e9";
  std::unique_ptr<HidDevice> device = OpenFirst({controller});
  ASSERT_TRUE(device->Attributes());
  EXPECT_EQ(device->Attributes()->serialNumber, "QVX-0042?");
  api_.devices[0].serial.clear();
  EXPECT_EQ(device->Attributes()->serialNumber, "");
}

TEST_F(Win32HidPlatformTest, WritesExactlyTheOutputReportLength) {
  FakeHidDevice controller{"controller"};
  controller.outputLength = 50;
  std::unique_ptr<HidDevice> device = OpenFirst({controller});
  const std::vector<std::uint8_t> line = {0x00, 's', 'e', 'r', 'v', 'i', 'c', 'e', '.', 'o', 'n', 0x0D};
  ASSERT_TRUE(device->WriteReport(line));
  std::vector<std::uint8_t> expected = line;
  expected.resize(50, 0);
  ASSERT_EQ(api_.writes.size(), 1u);
  EXPECT_EQ(api_.writes[0].second, expected);
  // A report longer than the device takes is not cut.
  EXPECT_FALSE(device->WriteReport(std::vector<std::uint8_t>(51, 'x')));
  EXPECT_EQ(api_.writes.size(), 1u);
}

TEST_F(Win32HidPlatformTest, WriteThatDoesNotFinishIsCancelledAndFails) {
  FakeHidDevice controller{"controller"};
  controller.writesHang = true;
  std::unique_ptr<HidDevice> device = OpenFirst({controller});
  EXPECT_FALSE(device->WriteReport(report_));
  EXPECT_EQ(api_.waits, std::vector<DWORD>{kWriteTimeoutMs});
  EXPECT_EQ(api_.cancelled, std::vector<HANDLE>{api_.writes[0].first});
  EXPECT_FALSE(api_.blockedForever);
}

TEST_F(Win32HidPlatformTest, ReadOutcomes) {
  struct Row {
    const char* name;
    std::function<void(FakeHidDevice&)> arrange;
    ReadOutcome outcome;
    bool cancelled;
    std::string text;  // report bytes 1..3
  };
  const Row rows[] = {
      {"nothing within the wait", [](FakeHidDevice&) {}, ReadOutcome::kTimeout, true, ""},
      {"arrives while cancelled", [](FakeHidDevice& d) { d.reportArrivesLate = true; },
       ReadOutcome::kReport, true, std::string("OK\0", 3)},
      {"short report, padded", [](FakeHidDevice& d) { d.reports.push_back({0x00, 'A', 'B'}); },
       ReadOutcome::kReport, false, std::string("AB\0", 3)},
      {"refused at once", [](FakeHidDevice& d) { d.readsFail = true; }, ReadOutcome::kFailed, false, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeWin32Hid api;
    Win32HidPlatform platform(api);
    api.devices = {{"controller"}};
    row.arrange(api.devices[0]);
    platform.Enumerate();
    std::unique_ptr<HidDevice> device = platform.Open("controller");
    std::vector<std::uint8_t> report(65, 0xEE);
    EXPECT_EQ(device->ReadReport(report, 6000), row.outcome);
    EXPECT_EQ(api.cancelled, row.cancelled ? std::vector<HANDLE>{api.reads[0]} : std::vector<HANDLE>{});
    EXPECT_EQ(api.waits, row.outcome == ReadOutcome::kFailed ? std::vector<DWORD>{}
                                                             : std::vector<DWORD>{6000});
    EXPECT_EQ(std::string(report.begin() + 1, report.begin() + 4),
              row.text.empty() ? "\xEE\xEE\xEE" : row.text);
    EXPECT_FALSE(api.blockedForever);
  }
}

TEST_F(Win32HidPlatformTest, ForeignAndRefusedDevicesAreIdentifiedAndClosed) {
  // A refused device with a controller's identifiers is no candidate either.
  api_.devices = {{"keyboard", 0x046D, 0xC31C, true}, {"mouse", 0x046D, 0xC077}, {"locked", 0x4242, 0xC003, true}};
  for (const std::string& path : platform_.Enumerate()) {
    std::unique_ptr<HidDevice> device = platform_.Open(path);
    if (!device) continue;
    ASSERT_TRUE(device->Attributes());
    EXPECT_FALSE(IsQuorvex(device->Attributes()->vendorId, device->Attributes()->productId));
  }
  EXPECT_TRUE(api_.open.empty()) << "a foreign or query handle was left open";
  ASSERT_EQ(platform_.Refused().size(), 2u);
  EXPECT_EQ(platform_.Refused()[0].path, "keyboard");
  // Identified with a handle that asks for no access.
  ASSERT_TRUE(platform_.Refused()[0].attributes);
  EXPECT_EQ(platform_.Refused()[0].attributes->productId, 0xC31C);
  EXPECT_EQ(platform_.Refused()[1].path, "locked");
}

}  // namespace
}  // namespace lumbra::link
