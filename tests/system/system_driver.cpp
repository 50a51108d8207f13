// lumbra-system-driver [gtest flags] CONTROLLER CLI RULES: on a real kernel, the link
// (hidapi over hidraw), engines and ticks against the virtual controller (over uhid, or
// a USB gadget on dummy_hcd), judged by the dialog's texts and boxes and by the flash
// the controller dumps when unplugged. RULES is the product's udev rules file.
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "link/hidapi_platform.h"
#include "support/cycle_runner.h"
#include "support/recording_dialog.h"
#include "transfer/messages.h"
#include "transfer/transfer_controller.h"
#include "vm_support.h"

namespace lumbra::transfer {
namespace {

using namespace ::testing;
using vm::ReadFile;
using vm::WaitFor;
using Flash = std::string;  // bytes, as dumped
using Clock = std::chrono::steady_clock;

constexpr auto kActivityTimeout = std::chrono::seconds(240);

constexpr const char* kOldFirmwarePath = "/tmp/old-firmware.bin";
constexpr const char* kFlashOutPath = "/tmp/flash.bin";

// The tool over real hidapi, its dialog recorded; the virtual controller a child
// process, plugged in while it runs, dumping its flash when it ends (SIGTERM).
class SystemTest : public Test {
 protected:
  static void SetUpTestSuite() {
    // Other firmware, every byte outside the boot code unlike the image's.
    // The boot code, which the virtual controller protects, holds the image's bytes from the factory.
    const emulator::QuorvexController factory;
    oldFirmware_ = image_;
    for (FlashAddress a = 0; a < kImageSize; ++a) oldFirmware_[a] ^= factory.IsProtected(a) ? 0 : 0x5A;
    std::ofstream(kOldFirmwarePath, std::ios::binary) << oldFirmware_;
    tool_.Init();
    // A few ticks under each box, as its modal loop delivers them; none under a nested one.
    dialog_.whileBoxOpen = [](const std::string&) {
      static int depth = 0;
      if (depth++ == 0) for (int i = 0; i < reliability::kTicksUnderBox; ++i) tool_.OnTick();
      --depth;
    };
  }

  void TearDown() override {
    if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);  // a failed scenario's
    // No controller here answers a checksum wrongly: a resend means lost reports.
    EXPECT_THAT(dialog_.statusHistory, Not(Contains(kResendingSector)));
    dialog_.boxes.clear();  // the next scenario is judged by what it shows
    dialog_.statusHistory.clear();
  }

  // The virtual controller on the old firmware.
  AssertionResult PlugIn() {
    std::filesystem::remove(kFlashOutPath);
    std::vector<std::string> args = {vm::gController, "--quiet",      "--flash-in",
                                     kOldFirmwarePath,   "--flash-out", kFlashOutPath};
    if (usb_) args.insert(args.end(), {"--gadget", "dummy_udc.0"});
    pid_ = vm::Spawn(args, nullptr, /*realtime=*/true);
    const bool plugged = WaitFor([&] {
      const std::vector<std::string> nodes = vm::VirtualNodes();
      return Ended() || (!nodes.empty() && ::access(nodes[0].c_str(), R_OK | W_OK) == 0);
    });
    if (pid_ <= 0) return AssertionFailure() << "it ended at start (wait status " << status_ << ")";
    return plugged ? AssertionSuccess() : AssertionFailure() << "no hidraw node appeared";
  }

  // Pulls the cable; the controller's flash is `expected`.
  void Unplug(const Flash& expected) {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
    ASSERT_TRUE(WaitFor([&] { return Ended(); })) << "the virtual controller did not end";
    EXPECT_TRUE(WaitFor([] { return vm::VirtualNodes().empty(); })) << "its hidraw node stayed";
    EXPECT_EQ(status_, 0) << "its wait status";
    EXPECT_TRUE(ReadFile(kFlashOutPath) == expected) << "the flash dumped differs";
  }

  bool Ended() {
    if (pid_ > 0 && ::waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
    return pid_ <= 0;
  }

  static Flash ImageUpTo(FlashAddress n) { return image_.substr(0, n) + oldFirmware_.substr(n); }

  // The button (if `press`), then ticks without pause until `moment` holds, or without
  // one until nothing is active. False when the activity ended first or time ran out.
  static bool Download(const std::function<bool(const TransferState&)>& moment = {},
                       bool press = true) {
    if (press) tool_.BeginDownload();
    for (const auto deadline = Clock::now() + kActivityTimeout;; tool_.OnTick()) {
      if (moment ? moment(tool_.State()) : !tool_.Busy()) return true;
      if (!tool_.Busy() || Clock::now() > deadline) return false;
    }
  }

  // The status lines on the way are the transfer tests'; here the kernel's part decides.
  void DownloadsTheImage() {
    ASSERT_TRUE(PlugIn());
    const auto start = Clock::now();
    ASSERT_TRUE(Download()) << "the download and verification did not end in time";
    std::printf("one cycle through %s, ticks without pause: %.2f s\n", usb_ ? "dummy_hcd" : "uhid",
                std::chrono::duration<double>(Clock::now() - start).count());
    EXPECT_THAT(dialog_.boxes, ElementsAre(kVerifyFinishedBox));
    Unplug(image_);
  }

  static inline const Flash image_{FirmwareImage::Bytes().begin(), FirmwareImage::Bytes().end()};
  static inline Flash oldFirmware_;
  static inline lumbra::testing::RecordingDialog dialog_;
  static inline link::HidapiPlatform platform_;
  static inline TransferController tool_{platform_, dialog_};
  pid_t pid_ = -1;
  int status_ = 0;
  bool usb_ = false;  // the controller a USB gadget, not a uhid device
};

TEST_F(SystemTest, WholeRun) {
  DownloadsTheImage();
}

// The cable comes out in the middle of sector 16, between two ticks.
TEST_F(SystemTest, UnplugDuringDownload) {
  constexpr FlashAddress kSector = 0x4000, kWritten = kSector + 20 * protocol::kChunkSize;
  ASSERT_TRUE(PlugIn());
  ASSERT_TRUE(Download([](const TransferState& st) {
    return st.downloadStep == DownloadStep::kSendData && st.currentAddress == kSector &&
           st.chunkCount == 20;
  })) << "the download never reached sector 0x4000";
  // Written up to the unplug, the rest of the sector erased, the rest untouched.
  Flash expected = ImageUpTo(kWritten);
  std::fill(expected.begin() + kWritten, expected.begin() + kSector + kSectorSize, '\xFF');
  Unplug(expected);
  ASSERT_TRUE(Download({}, /*press=*/false)) << "the download did not end after the unplug";
  EXPECT_THAT(dialog_.boxes, ElementsAre(kDownloadSendFailedBox));
  EXPECT_EQ(dialog_.Status(), link::kNotDetected);
}

// The cable comes out during the verification, before the block at 0x8000.
TEST_F(SystemTest, UnplugDuringVerify) {
  ASSERT_TRUE(PlugIn());
  ASSERT_TRUE(Download([](const TransferState& st) {
    return st.flags.verifying && st.verifyStep == VerifyStep::kSendAddress &&
           st.currentAddress == 0x8000;
  })) << "the verification never reached 0x8000";
  Unplug(image_);
  ASSERT_TRUE(Download({}, /*press=*/false)) << "the verification did not end after the unplug";
  EXPECT_THAT(dialog_.boxes, ElementsAre(kVerifyReadFailedBox));
  EXPECT_THAT(dialog_.statusHistory, Contains(link::kNotDetected));
  EXPECT_EQ(dialog_.Status(), kVerifyAddressFailed);
}

// The same through the USB stack: enumeration, interrupt endpoints, usbhid.
TEST_F(SystemTest, WholeRunThroughUsb) {
  usb_ = true;
  DownloadsTheImage();
}

TEST_F(SystemTest, ReplugDownload) {
  DownloadsTheImage();
}

// The next controller on the bench while the link holds the last one's handle: the
// tool finds it gone, asks the new one for service mode ("Connected.") and downloads.
TEST_F(SystemTest, NextController) {
  DownloadsTheImage();
}

// A user the hidraw node's mode keeps out (no udev rule): the tool, run as nobody, names
// the controller it may not open, and nothing reaches the flash.
TEST_F(SystemTest, AccessDenied) {
  ASSERT_TRUE(PlugIn());
  const pid_t child = ::fork();
  if (child == 0) {  // judged here; its failures are printed, its exit status tells
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    link::HidapiPlatform platform;
    lumbra::testing::RecordingDialog dialog;
    TransferController tool(platform, dialog);
    tool.Init();
    tool.BeginDownload();
    for (int i = 0; i < 10 && tool.Busy(); ++i) tool.OnTick();
    EXPECT_EQ(dialog.Status(), "Quorvex detected, access denied");
    EXPECT_THAT(dialog.boxes, ElementsAre("Quorvex detected, but this user may not open it.\n"
                                          "Install the udev rule (see man lumbra), then plug the controller in again."));
    ::_exit(HasFailure() ? 1 : 0);
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(status, 0) << "the run as nobody";
  Unplug(oldFirmware_);
}

}  // namespace
}  // namespace lumbra::transfer

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc != 4) return std::fprintf(stderr, "usage: %s [gtest flags] CONTROLLER CLI RULES\n", argv[0]), 2;
  lumbra::vm::gController = argv[1];
  lumbra::vm::gCli = argv[2];
  lumbra::vm::gRules = argv[3];
  return RUN_ALL_TESTS();
}
