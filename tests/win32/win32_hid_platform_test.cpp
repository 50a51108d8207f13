// The Windows HID platform against a stand-in for the Windows calls: record
// sizing, the two handles, overlapped reads and writes with their time-outs,
// and foreign and refused devices. What the link makes of each outcome is
// tested in tests/link against scripted devices.
#include "link/win32_hid_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_win32_hid.h"
#include "link/device_ids.h"

namespace lumbra::link {
namespace {

using testing::FakeHidDevice;
using testing::FakeWin32Hid;

FakeHidDevice Device(std::string path, USHORT vendor = 0x4242, USHORT product = 0xC003) {
  FakeHidDevice device;
  device.path = std::move(path);
  device.vendorId = vendor;
  device.productId = product;
  return device;
}

class Win32HidPlatformTest : public ::testing::Test {
 protected:
  // Enumerates and opens the device at `path`.
  std::unique_ptr<HidDevice> Open(const std::string& path) {
    platform_.Enumerate();
    return platform_.Open(path);
  }

  FakeWin32Hid api_;
  Win32HidPlatform platform_{api_};
  std::vector<std::uint8_t> report_ = std::vector<std::uint8_t>(65, 0);
};

TEST_F(Win32HidPlatformTest, RecordsAreSizedForThisArchitecture) {
  api_.devices = {Device(R"(\\?\hid#vid_4242&pid_c003#1)"),
                  Device(R"(\\?\hid#vid_046d&pid_c077#2)", 0x046D, 0xC077)};
  EXPECT_EQ(platform_.Enumerate(),
            (std::vector<std::string>{api_.devices[0].path, api_.devices[1].path}));
#ifdef _WIN64
  // The 32-bit values (28 and 5) make the 64-bit SetupAPI list nothing.
  EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DATA), 32u);
  EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A), 8u);
#else
  EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DATA), 28u);
  EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A), 5u);
#endif
  for (DWORD size : api_.detailCbSizes) EXPECT_EQ(size, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
  for (DWORD size : api_.interfaceCbSizes) EXPECT_EQ(size, sizeof(SP_DEVICE_INTERFACE_DATA));

  std::unique_ptr<HidDevice> device = platform_.Open(api_.devices[0].path);
  ASSERT_NE(device, nullptr);
  ASSERT_TRUE(device->Attributes());
  EXPECT_EQ(device->Attributes()->productId, 0xC003);
  for (DWORD size : api_.attributeSizes) EXPECT_EQ(size, 12u);
  EXPECT_EQ(api_.setsMade, api_.setsDestroyed) << "a device information set was not released";
}

TEST_F(Win32HidPlatformTest, NoDevicesOrNoListGiveNoPaths) {
  EXPECT_TRUE(platform_.Enumerate().empty());
  EXPECT_EQ(api_.setsDestroyed, 1) << "the empty device information set was not released";

  api_.classDevsFail = true;
  api_.devices = {Device("controller")};
  EXPECT_TRUE(platform_.Enumerate().empty());
  EXPECT_EQ(platform_.Open("controller"), nullptr) << "opened a path no enumeration listed";
}

TEST_F(Win32HidPlatformTest, DeviceHasTwoOverlappedReadWriteHandles) {
  api_.devices = {Device("controller")};
  std::unique_ptr<HidDevice> device = Open("controller");
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(api_.OpenDeviceHandles(), 2u);
  for (const auto& [handle, opened] : api_.open) {
    EXPECT_EQ(opened.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(opened.flags, static_cast<DWORD>(FILE_FLAG_OVERLAPPED));
  }
  ASSERT_TRUE(device->Capabilities());
  EXPECT_EQ(device->Capabilities()->input, 65u);
  EXPECT_EQ(device->Capabilities()->output, 65u);

  // Writes go to the one handle, reads to the other.
  ASSERT_TRUE(device->WriteReport(report_));
  api_.devices[0].reports.push_back({0x00, 'O', 'K'});
  ASSERT_EQ(device->ReadReport(report_, 6000), ReadOutcome::kReport);
  const HANDLE writer = api_.writes.back().file;
  const HANDLE reader = api_.io.back().file;
  EXPECT_NE(writer, reader);
  EXPECT_TRUE(api_.open.count(writer) && api_.open.count(reader));

  // Closing the device closes both handles and both events.
  device.reset();
  EXPECT_EQ(api_.OpenDeviceHandles(), 0u);
  EXPECT_TRUE(api_.events.empty());
}

TEST_F(Win32HidPlatformTest, WritesExactlyTheOutputReportLength) {
  api_.devices = {Device("controller")};
  api_.devices[0].outputLength = 50;
  std::unique_ptr<HidDevice> device = Open("controller");
  const std::vector<std::uint8_t> line = {0x00, 's', 'e', 'r', 'v', 'i', 'c',
                                          'e',  '.', 'o', 'n', 0x0D, 0x00};
  ASSERT_TRUE(device->WriteReport(line));
  ASSERT_EQ(api_.writes.size(), 1u);
  std::vector<std::uint8_t> expected = line;
  expected.resize(50, 0);
  EXPECT_EQ(api_.writes[0].data, expected);

  // A report longer than the device takes is not cut.
  EXPECT_FALSE(device->WriteReport(std::vector<std::uint8_t>(51, 'x')));
  EXPECT_EQ(api_.writes.size(), 1u);
}

TEST_F(Win32HidPlatformTest, WriteThatDoesNotFinishIsCancelledAndFails) {
  api_.devices = {Device("controller")};
  api_.devices[0].writesHang = true;
  std::unique_ptr<HidDevice> device = Open("controller");

  EXPECT_FALSE(device->WriteReport(report_));
  ASSERT_EQ(api_.writes.size(), 1u);
  EXPECT_EQ(api_.waits, std::vector<DWORD>{kWriteTimeoutMs});
  EXPECT_EQ(api_.cancelled, std::vector<HANDLE>{api_.writes[0].file});
  EXPECT_FALSE(api_.blockedForever);
}

TEST_F(Win32HidPlatformTest, ReadOutcomes) {
  api_.devices = {Device("controller")};
  std::unique_ptr<HidDevice> device = Open("controller");

  // Nothing within the wait: the read is cancelled on the read handle.
  EXPECT_EQ(device->ReadReport(report_, 6000), ReadOutcome::kTimeout);
  EXPECT_EQ(api_.waits.back(), 6000u);
  ASSERT_EQ(api_.cancelled.size(), 1u);
  EXPECT_EQ(api_.cancelled[0], api_.io.back().file);
  EXPECT_FALSE(api_.blockedForever);

  // A report that arrives while the late read is being cancelled is kept.
  api_.devices[0].reportArrivesLate = true;
  EXPECT_EQ(device->ReadReport(report_, 0), ReadOutcome::kReport);
  EXPECT_EQ(report_[1], 'O');
  api_.devices[0].reportArrivesLate = false;

  // A report shorter than the input length arrives padded to it.
  api_.devices[0].reports.push_back({0x00, 'A', 'B'});
  EXPECT_EQ(device->ReadReport(report_, 10), ReadOutcome::kReport);
  EXPECT_EQ(std::string(report_.begin() + 1, report_.begin() + 4), std::string("AB\0", 3));

  api_.devices[0].readsFail = true;
  EXPECT_EQ(device->ReadReport(report_, 10), ReadOutcome::kFailed);
  EXPECT_FALSE(api_.blockedForever);
}

TEST_F(Win32HidPlatformTest, ForeignAndRefusedDevicesAreIdentifiedAndClosed) {
  FakeHidDevice keyboard = Device("keyboard", 0x046D, 0xC31C);
  keyboard.opensReadWrite = false;
  // A refused device with a controller's identifiers is no candidate either.
  FakeHidDevice lockedController = Device("locked");
  lockedController.opensReadWrite = false;
  api_.devices = {keyboard, Device("mouse", 0x046D, 0xC077), lockedController};

  for (const std::string& path : platform_.Enumerate()) {
    std::unique_ptr<HidDevice> device = platform_.Open(path);
    if (!device) continue;
    ASSERT_TRUE(device->Attributes());
    EXPECT_FALSE(IsQuorvex(device->Attributes()->vendorId, device->Attributes()->productId));
  }
  EXPECT_EQ(api_.OpenDeviceHandles(), 0u) << "a foreign or query handle was left open";

  ASSERT_EQ(platform_.Refused().size(), 2u);
  EXPECT_EQ(platform_.Refused()[0].path, "keyboard");
  ASSERT_TRUE(platform_.Refused()[0].attributes);
  EXPECT_EQ(platform_.Refused()[0].attributes->vendorId, 0x046D);
  EXPECT_EQ(platform_.Refused()[1].path, "locked");
  // Identified with a handle that asks for no access.
  EXPECT_EQ(api_.opened[0].access, 0u);
}

}  // namespace
}  // namespace lumbra::link
