// The Windows HID platform against a stand-in for the Windows calls: record
// sizing, the two handles, overlapped reads and writes with their time-outs,
// and foreign and refused devices, also as HidLink sees them.
#include "link/win32_hid_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_win32_hid.h"
#include "link/hid_link.h"

namespace lumbra::link {
namespace {

using testing::FakeHidDevice;
using testing::FakeWin32Hid;

class StatusLine final : public TextTarget {
 public:
  void SetText(std::string_view text) override { texts.emplace_back(text); }
  std::vector<std::string> texts;
};

FakeHidDevice Device(std::string path, USHORT vendor, USHORT product) {
  FakeHidDevice device;
  device.path = std::move(path);
  device.vendorId = vendor;
  device.productId = product;
  return device;
}

class Win32HidPlatformTest : public ::testing::Test {
 protected:
  // Connects a link to the fake's devices, with the status line attached.
  HidLink& Link() {
    link_.m_pStatusWnd = &status_;
    return link_;
  }

  FakeWin32Hid api_;
  Win32HidPlatform platform_{api_};
  StatusLine status_;
  HidLink link_{platform_};
};

TEST_F(Win32HidPlatformTest, RecordsAreSizedForThisArchitecture) {
  api_.devices = {Device(R"(\\?\hid#vid_4242&pid_c003#1)", 0x4242, 0xC003),
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

  ASSERT_TRUE(Link().Connect());
  for (DWORD size : api_.attributeSizes) EXPECT_EQ(size, 12u);
  EXPECT_EQ(api_.setsMade, api_.setsDestroyed);
}

TEST_F(Win32HidPlatformTest, NoDevicesOrNoListReadsNotDetected) {
  EXPECT_FALSE(Link().Connect());
  EXPECT_EQ(status_.texts.back(), kNotDetected);
  EXPECT_EQ(api_.setsMade, 1);
  EXPECT_EQ(api_.setsDestroyed, 1) << "the device information set was not released";

  api_.classDevsFail = true;
  api_.devices = {Device("c", 0x4242, 0xC003)};
  EXPECT_TRUE(platform_.Enumerate().empty());
  EXPECT_FALSE(Link().Connect());
  EXPECT_EQ(status_.texts.back(), kNotDetected);
}

TEST_F(Win32HidPlatformTest, ControllerGetsTwoOverlappedReadWriteHandles) {
  api_.devices = {Device("controller", 0x0400, 0x0614)};
  ASSERT_TRUE(Link().Connect());
  ASSERT_EQ(api_.OpenDeviceHandles(), 2u);
  for (const auto& [handle, opened] : api_.open) {
    EXPECT_EQ(opened.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(opened.flags, static_cast<DWORD>(FILE_FLAG_OVERLAPPED));
  }
  EXPECT_EQ(status_.texts.back(), kDetected);
  EXPECT_EQ(link_.Caps().input, 65u);
  EXPECT_EQ(link_.Caps().output, 65u);

  // Writes go to the first handle, reads to the second.
  link_.m_bOpen = true;
  ASSERT_TRUE(link_.SendLine("service.on"));
  api_.devices[0].reports.push_back({0x00, 'S', 'E', 'R', 'V', 'I', 'C', 'E', ' ', 'O', 'N'});
  ASSERT_TRUE(link_.ReadReply());
  EXPECT_EQ(link_.m_ReplyText, "SERVICE ON\r\n");
  const HANDLE writer = api_.writes.back().file;
  const HANDLE reader = api_.io.back().file;
  EXPECT_NE(writer, reader);
  EXPECT_TRUE(api_.open.count(writer) && api_.open.count(reader));

  // Closing the link closes both handles and both events.
  api_.devices[0].reports.clear();
  link_.ReadReply();  // times out and closes
  EXPECT_EQ(api_.OpenDeviceHandles(), 0u);
  EXPECT_TRUE(api_.events.empty());
}

TEST_F(Win32HidPlatformTest, WritesExactlyTheOutputReportLength) {
  for (USHORT length : {USHORT{65}, USHORT{50}}) {
    api_.devices = {Device("controller", 0x4242, 0xC003)};
    api_.devices[0].outputLength = length;
    api_.writes.clear();
    HidLink link(platform_);
    ASSERT_TRUE(link.SendLine("service.on"));
    ASSERT_EQ(api_.writes.size(), 1u);
    const std::vector<std::uint8_t>& report = api_.writes[0].data;
    ASSERT_EQ(report.size(), length);
    const std::vector<std::uint8_t> start = {0x00, 's', 'e', 'r', 'v', 'i', 'c',
                                             'e',  '.', 'o', 'n', 0x0D, 0x00};
    EXPECT_TRUE(std::equal(start.begin(), start.end(), report.begin()));
  }
}

TEST_F(Win32HidPlatformTest, WriteThatDoesNotFinishIsCancelledAndFails) {
  api_.devices = {Device("controller", 0x4242, 0xC003)};
  api_.devices[0].writesHang = true;
  Link().m_bOpen = link_.Connect();
  ASSERT_TRUE(link_.m_bOpen);

  EXPECT_FALSE(link_.SendLine("service.on"));
  // Both attempts (the first and the one after rediscovery) waited the write
  // bound and were cancelled; none was left running.
  ASSERT_EQ(api_.writes.size(), 2u);
  EXPECT_EQ(std::count(api_.waits.begin(), api_.waits.end(), kWriteTimeoutMs), 2);
  const HANDLE first = api_.writes[0].file;
  const HANDLE second = api_.writes[1].file;
  EXPECT_EQ(std::count(api_.cancelled.begin(), api_.cancelled.end(), first), 1);
  EXPECT_EQ(std::count(api_.cancelled.begin(), api_.cancelled.end(), second), 1);
  EXPECT_FALSE(api_.blockedForever);
  EXPECT_EQ(status_.texts.back(), kCantWrite);
  EXPECT_FALSE(link_.m_bOpen);
  EXPECT_EQ(api_.OpenDeviceHandles(), 0u);
}

TEST_F(Win32HidPlatformTest, ReadTimeOutCancelsTheReadAndClosesTheLink) {
  api_.devices = {Device("controller", 0x4242, 0xC003)};
  Link().m_bOpen = link_.Connect();
  link_.m_ReplyText = "READY\r\n";

  EXPECT_FALSE(link_.ReadReply());
  EXPECT_EQ(api_.waits.back(), static_cast<DWORD>(kReadTimeoutMs));
  ASSERT_EQ(api_.cancelled.size(), 1u);
  EXPECT_EQ(api_.cancelled[0], api_.io.back().file) << "CancelIo on another handle than the read's";
  EXPECT_FALSE(api_.blockedForever);
  EXPECT_EQ(link_.m_ReplyText, "READY\r\n");
  EXPECT_EQ(link_.LastMessage(), kReadTimedOut);
  EXPECT_EQ(status_.texts.back(), kCantRead);
  EXPECT_FALSE(link_.m_bOpen);
  EXPECT_EQ(api_.OpenDeviceHandles(), 0u);
}

TEST_F(Win32HidPlatformTest, ReadOutcomes) {
  api_.devices = {Device("controller", 0x4242, 0xC003)};
  ASSERT_EQ(platform_.Enumerate().size(), 1u);
  std::unique_ptr<HidDevice> device = platform_.Open("controller");
  ASSERT_NE(device, nullptr);
  std::vector<std::uint8_t> report(65, 0);

  // A report that arrives while the late read is being cancelled is kept.
  api_.devices[0].reportArrivesLate = true;
  EXPECT_EQ(device->ReadReport(report, 0), ReadOutcome::kReport);
  EXPECT_EQ(report[1], 'O');
  api_.devices[0].reportArrivesLate = false;

  // A report shorter than the input length arrives padded to it.
  api_.devices[0].reports.push_back({0x00, 'A', 'B'});
  EXPECT_EQ(device->ReadReport(report, 10), ReadOutcome::kReport);
  EXPECT_EQ(std::string(report.begin() + 1, report.begin() + 4), std::string("AB\0", 3));

  EXPECT_EQ(device->ReadReport(report, 10), ReadOutcome::kTimeout);
  EXPECT_EQ(api_.waits.back(), 10u);

  api_.devices[0].readsFail = true;
  EXPECT_EQ(device->ReadReport(report, 10), ReadOutcome::kFailed);
  EXPECT_FALSE(api_.blockedForever);
}

TEST_F(Win32HidPlatformTest, ForeignAndRefusedDevicesAreSkippedAndClosed) {
  FakeHidDevice keyboard = Device("keyboard", 0x046D, 0xC31C);
  keyboard.opensReadWrite = false;
  // A refused device with a controller's identifiers is no candidate either.
  FakeHidDevice lockedController = Device("locked", 0x4242, 0xC003);
  lockedController.opensReadWrite = false;
  api_.devices = {keyboard, Device("mouse", 0x046D, 0xC077), lockedController,
                  Device("controller", 0x0614, 0x0400)};

  ASSERT_TRUE(Link().Connect());
  EXPECT_EQ(api_.OpenDeviceHandles(), 2u) << "a foreign or query handle was left open";
  for (const auto& [handle, opened] : api_.open) EXPECT_EQ(opened.device, 3u);

  ASSERT_EQ(platform_.Refused().size(), 2u);
  EXPECT_EQ(platform_.Refused()[0].path, "keyboard");
  ASSERT_TRUE(platform_.Refused()[0].attributes);
  EXPECT_EQ(platform_.Refused()[0].attributes->vendorId, 0x046D);
  // Identified with a handle that asks for no access.
  EXPECT_EQ(api_.opened[0].access, 0u);

  api_.devices.pop_back();
  link_.m_bOpen = false;
  EXPECT_FALSE(link_.Connect());
  EXPECT_EQ(status_.texts.back(), kNotDetected);
  EXPECT_EQ(api_.OpenDeviceHandles(), 0u);
}

}  // namespace
}  // namespace lumbra::link
