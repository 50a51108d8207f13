// The dialog on its own timer, with the period cut to nothing so a whole
// download takes a moment: ticks under message boxes, and a whole download
// and verification judged by the emulated flash.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <chrono>

#include "demo/demo_session.h"
#include "dialog_harness.h"
#include "emulator/emulated_hid_platform.h"
#include "transfer/firmware_image.h"
#include "transfer/messages.h"

namespace lumbra::testing {
namespace {

using app::FirmwareDialog;
using transfer::FirmwareImage;

constexpr std::chrono::milliseconds kFastTicks{0};

QString Q(std::string_view text) { return QString::fromLatin1(text.data(), qsizetype(text.size())); }

TEST(DialogTimingTest, WholeRunJudgedByTheFlashWithTicksUnderTheFinalBox) {
  emulator::EmulatedHidPlatform platform;
  emulator::QuorvexController& controller = platform.AddController();
  // Sector 1 stores its first two chunks in each other's place: its checksum
  // still matches, and only the verification can tell.
  constexpr std::uint32_t kSwapped = 0x400;
  controller.AddFault(emulator::Fault::SwapChunks(1, 0, 1));
  auto stored = [](std::uint32_t address) {
    if (address >= kSwapped && address < kSwapped + 32) address ^= 16;
    return FirmwareImage::Byte(address);
  };

  FirmwareDialog dialog(platform, nullptr, kFastTicks);
  dialog.show();
  // The final box is opened by a verify step, and the step after it (Done)
  // must run while that box is still open: keep it open until then.
  BoxCloser boxes([&] { return !dialog.Controller().State().flags.verifying; });
  DownloadButton(dialog).click();
  ASSERT_TRUE(RunUntil([&] { return !boxes.seen.empty(); }, 60000));

  // Differences were found, so the verification ends as failed.
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(boxes.seen[0].text, Q(transfer::kVerifyFailedBox));
  EXPECT_TRUE(boxes.seen[0].conditionMet) << "no tick ran while the step's box was open";
  EXPECT_EQ(FieldText(dialog, 1028), "100.00");
  EXPECT_EQ(FieldText(dialog, 1035), "100.00");
  EXPECT_EQ(FieldText(dialog, 1030), Q(transfer::kVerifyFailed));

  // The flash holds the image, except the controller's boot code, which it
  // protects, and the swapped chunks.
  const auto flash = controller.Flash();
  int wrongBytes = 0;
  for (std::uint32_t address = 0; address < FirmwareImage::Size(); ++address) {
    const std::uint8_t expected = controller.IsProtected(address)
                                      ? emulator::QuorvexController::BootByte(address)
                                      : stored(address);
    if (flash[address] != expected) ++wrongBytes;
  }
  EXPECT_EQ(wrongBytes, 0);

  // Every byte of the swapped chunks that differs from the image is listed,
  // each line ended by the engine's "\r\n", shown as a plain line end.
  QString expectedErrors;
  for (std::uint32_t address = kSwapped; address < kSwapped + 32; ++address) {
    if (stored(address) == FirmwareImage::Byte(address)) continue;
    expectedErrors += QString::asprintf("add 0x%X = 0x%X should be 0x%X\n", address, stored(address),
                                        FirmwareImage::Byte(address));
  }
  ASSERT_FALSE(expectedErrors.isEmpty());
  EXPECT_EQ(FieldText(dialog, 1034), expectedErrors);
}

TEST(DialogTimingTest, DownloadGoesOnUnderTheCloseGuardsBox) {
  emulator::EmulatedHidPlatform platform;
  platform.AddController();
  FirmwareDialog dialog(platform, nullptr, kFastTicks);
  dialog.show();
  const auto& state = dialog.Controller().State();
  DownloadButton(dialog).click();
  ASSERT_TRUE(RunUntil([&] { return state.imagePosition >= 1024; }));

  const std::int32_t atClose = state.imagePosition;
  BoxCloser boxes([&] { return state.imagePosition >= atClose + 2048; });
  EXPECT_FALSE(dialog.close());
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(boxes.seen[0].text, Q(transfer::kCloseRefusedBox));
  EXPECT_TRUE(boxes.seen[0].conditionMet) << "the download stood still under the box";
  EXPECT_TRUE(dialog.isVisible());
}

TEST(DemoSessionTest, UnattendedRunDownloadsVerifiesAndEnds) {
  QTemporaryDir shots;
  ASSERT_TRUE(shots.isValid());
  app::DemoSession demo;
  FirmwareDialog dialog(demo.Platform(), nullptr, kFastTicks);
  demo.Attach(dialog, {.autostart = true, .closeAtEnd = true, .screenshotDir = shots.path()});
  dialog.exec();  // returns once the demo has closed it

  EXPECT_TRUE(demo.Ended());
  EXPECT_EQ(demo.FinalBoxText(), Q(transfer::kVerifyFinishedBox));
  const QDir dir(shots.path());
  for (const char* name : {"lumbra-demo-downloading.png", "lumbra-demo.png", "lumbra-demo-box.png"})
    EXPECT_TRUE(dir.exists(name)) << name;
}

}  // namespace
}  // namespace lumbra::testing
