// test_win32_hidstack STOP-FILE [gtest flags]: the Windows HID binding on a real HID
// stack (Wine's, in the system test's VM) with the virtual controller plugged in.
// Creating STOP-FILE asks the VM's script to stop the controller.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "link/device_ids.h"
#include "link/hid_link.h"
#include "link/win32_hid_platform.h"
#include "protocol/command_frame.h"

namespace lumbra::link {
namespace {

using Bytes = std::vector<std::uint8_t>;
const char* gStopFile = nullptr;

// Windows' own calls, with what the tests ask about recorded on the way.
struct RecordingApi : SystemHidApi {
  std::set<HANDLE> files;  // open CreateFileA handles
  std::vector<DWORD> writes;
  std::vector<HANDLE> cancelled;
  int endsAwaited = 0;  // GetOverlappedResult waits after a CancelIo

  HANDLE CreateFileA(const char* path, DWORD access, DWORD flags) override {
    HANDLE file = SystemHidApi::CreateFileA(path, access, flags);
    if (file != INVALID_HANDLE_VALUE) files.insert(file);
    return file;
  }
  BOOL CloseHandle(HANDLE h) override {
    files.erase(h);
    return SystemHidApi::CloseHandle(h);
  }
  BOOL WriteFile(HANDLE f, const void* d, DWORD n, OVERLAPPED* o) override {
    writes.push_back(n);
    return SystemHidApi::WriteFile(f, d, n, o);
  }
  BOOL GetOverlappedResult(HANDLE f, OVERLAPPED* o, DWORD* n, BOOL wait) override {
    if (wait && !cancelled.empty() && cancelled.back() == f) ++endsAwaited;
    return SystemHidApi::GetOverlappedResult(f, o, n, wait);
  }
  BOOL CancelIo(HANDLE f) override {
    cancelled.push_back(f);
    return SystemHidApi::CancelIo(f);
  }
};

class HidStackTest : public ::testing::Test {
 protected:
  // The one controller among the listed devices; every other one examined and closed.
  std::unique_ptr<HidDevice> OpenController() {
    std::unique_ptr<HidDevice> controller;
    int foreign = 0;
    for (const std::string& path : platform_.Enumerate()) {
      std::unique_ptr<HidDevice> device = platform_.Open(path).device;
      if (!device || !device->Attributes()) continue;
      if (!IsQuorvex(device->Attributes()->vendorId, device->Attributes()->productId)) {
        ++foreign;
        continue;
      }
      EXPECT_EQ(controller, nullptr) << "a second controller: " << path;
      controller = std::move(device);
    }
    std::printf("%d foreign devices opened\n", foreign);
    return controller;
  }

  static Bytes Line(const std::string& text) {
    Bytes report(65, 0);
    std::copy(text.begin(), text.end(), report.begin() + 1);
    report[text.size() + 1] = 0x0D;
    return report;
  }
  // The report's text, up to its first zero.
  static std::string Text(const Bytes& report) {
    return std::string(report.begin() + 1, std::find(report.begin() + 1, report.end(), 0));
  }

  RecordingApi api_;
  Win32HidPlatform platform_{api_};
};

TEST_F(HidStackTest, FindsIdentifiesWritesAndReads) {
  std::unique_ptr<HidDevice> device = OpenController();
  ASSERT_NE(device, nullptr) << "no controller listed";
  EXPECT_EQ(api_.files.size(), 2u) << "the controller's two handles, every other one closed";
  ASSERT_TRUE(device->Attributes());
  EXPECT_EQ(device->Attributes()->vendorId, 0x4242);
  EXPECT_EQ(device->Attributes()->productId, 0xC003);
  EXPECT_EQ(device->Attributes()->serialNumber, kVirtualSerialNumber);
  ASSERT_TRUE(device->Capabilities());
  EXPECT_EQ(device->Capabilities()->input, 65u);
  EXPECT_EQ(device->Capabilities()->output, 65u);

  ASSERT_TRUE(device->WriteReport(Line("service.on")));
  EXPECT_EQ(api_.writes, std::vector<DWORD>{65});
  Bytes report(65, 0);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(device->ReadReport(report, kReadTimeoutMs), ReadOutcome::kReport);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  EXPECT_EQ(Text(report).substr(0, 10), "SERVICE ON") << Text(report);
  std::printf("answered in %lld ms\n", static_cast<long long>(ms.count()));

  device.reset();
  EXPECT_TRUE(api_.files.empty()) << "a handle was left open";
}

TEST_F(HidStackTest, ReadTimesOutAndLeavesNothingPending) {
  std::unique_ptr<HidDevice> device = OpenController();
  ASSERT_NE(device, nullptr);
  Bytes report(65, 0xEE);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(device->ReadReport(report, kReadTimeoutMs), ReadOutcome::kTimeout);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start).count();
  std::printf("timed out after %lld ms\n", static_cast<long long>(ms));
  EXPECT_GE(ms, kReadTimeoutMs - 50);
  EXPECT_LT(ms, kReadTimeoutMs + 3000);
  EXPECT_EQ(api_.cancelled.size(), 1u) << "the pending read cancelled";
  EXPECT_EQ(api_.endsAwaited, 1) << "and its end awaited";
  EXPECT_EQ(report[1], 0xEE) << "the cancelled read wrote into the report";
  // Nothing left pending: the next request's answer is the next report read.
  ASSERT_TRUE(device->WriteReport(Line("service.on")));
  ASSERT_EQ(device->ReadReport(report, kReadTimeoutMs), ReadOutcome::kReport);
  EXPECT_EQ(Text(report).substr(0, 10), "SERVICE ON");
  EXPECT_EQ(device->ReadReport(report, 200), ReadOutcome::kTimeout) << "a second answer";
}

// Last: the controller is stopped while a read waits for its answer.
TEST_F(HidStackTest, ControllerStoppedWhileReading) {
  HidLink link(platform_, protocol::kLongestLine);
  struct : TextTarget {
    void SetText(std::string_view text) override { shown = text; }
    std::string shown;
  } status;
  link.SetStatusTarget(&status);
  ASSERT_EQ(link.SendLine("service.on"), SendResult::kWritten);
  ASSERT_TRUE(link.ReadReply());
  std::fclose(std::fopen(gStopFile, "w"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(link.ReadReply()) << "a reply from a stopped controller";
  std::printf("read ended %lld ms after the stop was asked for\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - start).count()));
  EXPECT_FALSE(link.StillOpen());
  EXPECT_EQ(link.SendLine("service.on"), SendResult::kLinkLost);
  EXPECT_EQ(status.shown, kNotDetected);
}

}  // namespace
}  // namespace lumbra::link

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  lumbra::link::gStopFile = argc > 1 ? argv[1] : "stop-controller";
  return RUN_ALL_TESTS();
}
