// The Windows HID platform against a stand-in for the Windows calls: record
// sizing, the two handles, overlapped reads and writes with their time-outs,
// the serial number, and foreign and refused devices. What the link makes of
// each outcome is tested in tests/link against scripted devices.
#include "link/win32_hid_platform.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "fake_win32_hid.h"
#include "link/device_ids.h"

namespace lumbra::link {
namespace {

using testing::FakeHidDevice;
using testing::FakeWin32Hid;
using Bytes = std::vector<std::uint8_t>;

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
};

TEST_F(Win32HidPlatformTest, RecordsAreSizedForThisArchitecture) {
  // The stand-in, like SetupAPI, refuses a record of the other architecture's
  // size (the 32-bit 28 and 5 make the 64-bit SetupAPI list nothing).
#ifdef _WIN64
  static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
  static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);
#else
  static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
  static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);
#endif
  api_.devices = {{R"(\\?\hid#vid_4242&pid_c003#1)"}, {R"(\\?\hid#vid_046d&pid_c077#2)"}};
  EXPECT_EQ(platform_.Enumerate(),
            (std::vector<std::string>{api_.devices[0].path, api_.devices[1].path}));
  EXPECT_EQ(api_.setsOpen, 0) << "a device information set was not released";
  EXPECT_EQ(platform_.Open("unlisted"), nullptr) << "opened a path no enumeration listed";
}

TEST_F(Win32HidPlatformTest, TwoHandlesIdentifyWriteAndRead) {
  FakeHidDevice controller{"controller"};
  controller.serial = L"QVX-0042\u00e9";
  controller.outputLength = 50;
  std::unique_ptr<HidDevice> device = OpenFirst({controller});
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(api_.open.size(), 2u);
  ASSERT_TRUE(device->Attributes());
  EXPECT_EQ(device->Attributes()->productId, 0xC003);
  EXPECT_EQ(device->Attributes()->serialNumber, "QVX-0042?") << "the serial number, printable";
  api_.devices[0].serial.clear();
  EXPECT_EQ(device->Attributes()->serialNumber, "");

  // Exactly OutputReportByteLength bytes go out, on the identified handle; a
  // report longer than that is not cut.
  const Bytes line = {0x00, 's', 'e', 'r', 'v', 'i', 'c', 'e', '.', 'o', 'n', 0x0D};
  ASSERT_TRUE(device->WriteReport(line));
  EXPECT_FALSE(device->WriteReport(Bytes(51, 'x')));
  Bytes expected = line;
  expected.resize(50, 0);
  ASSERT_EQ(api_.writes.size(), 1u);
  EXPECT_EQ(api_.writes[0].second, expected);
  // Reads go to the other handle.
  api_.devices[0].reports.push_back({0x00, 'O', 'K'});
  Bytes report(65, 0);
  ASSERT_EQ(device->ReadReport(report, 6000), ReadOutcome::kReport);
  EXPECT_NE(api_.writes.back().first, api_.reads.back());
  // Closing the device closes both handles and both events.
  device.reset();
  EXPECT_TRUE(api_.open.empty());
  EXPECT_TRUE(api_.events.empty());
}

TEST_F(Win32HidPlatformTest, WriteThatDoesNotFinishIsCancelledAndFails) {
  std::unique_ptr<HidDevice> device =
      OpenFirst({{"controller", 0x4242, 0xC003, FakeHidDevice::kWritesHang}});
  EXPECT_FALSE(device->WriteReport(Bytes(65, 0)));
  EXPECT_EQ(api_.waits, std::vector<DWORD>{kWriteTimeoutMs});
  EXPECT_EQ(api_.cancelled, std::vector<HANDLE>{api_.writes[0].first});
  EXPECT_FALSE(api_.blockedForever);
}

TEST(Win32HidReadTest, Outcomes) {
  using D = FakeHidDevice;
  const std::string untouched = "\xEE\xEE\xEE";
  const struct {
    D::Quirk quirk;
    std::deque<Bytes> reports;
    ReadOutcome outcome;
    bool cancelled;
    std::string text;  // bytes 1..3 of the report
  } rows[] = {
      {D::kNone, {}, ReadOutcome::kTimeout, true, untouched},  // nothing within the wait
      {D::kReportArrivesLate, {}, ReadOutcome::kReport, true, std::string("OK\0", 3)},
      {D::kNone, {{0x00, 'A', 'B'}}, ReadOutcome::kReport, false, std::string("AB\0", 3)},
      {D::kReadsFail, {}, ReadOutcome::kFailed, false, untouched},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.quirk);
    FakeWin32Hid api;
    Win32HidPlatform platform(api);
    api.devices = {{"controller", 0x4242, 0xC003, row.quirk}};
    api.devices[0].reports = row.reports;
    platform.Enumerate();
    Bytes report(65, 0xEE);
    EXPECT_EQ(platform.Open("controller")->ReadReport(report, 6000), row.outcome);
    EXPECT_EQ(api.waits, std::vector<DWORD>(row.outcome != ReadOutcome::kFailed, 6000));
    EXPECT_EQ(api.cancelled, std::vector<HANDLE>(row.cancelled, api.reads[0]));
    EXPECT_EQ(std::string(report.begin() + 1, report.begin() + 4), row.text);
    EXPECT_FALSE(api.blockedForever);
  }
}

TEST_F(Win32HidPlatformTest, ForeignAndRefusedDevicesAreIdentifiedAndClosed) {
  // A refused device with a controller's identifiers is no candidate either.
  const auto refuses = FakeHidDevice::kRefusesReadWrite;
  api_.devices = {{"keyboard", 0x046D, 0xC31C, refuses}, {"mouse", 0x046D, 0xC077},
                  {"locked", 0x4242, 0xC003, refuses}};
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
