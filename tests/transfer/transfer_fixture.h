// A TransferController on the emulated controller, driven tick by tick.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "emulator/emulated_hid_platform.h"
#include "support/recording_dialog.h"
#include "transfer/firmware_image.h"
#include "transfer/messages.h"
#include "transfer/transfer_controller.h"

namespace lumbra::transfer {

// The emulated controller, a recording dialog and the controller under test.
struct TransferRig {
  explicit TransferRig(emulator::ControllerOptions options = Options())
      : controller(platform.AddController(std::move(options))) {
    tc.Init();
  }

  static emulator::ControllerOptions Options() {
    emulator::ControllerOptions options;
    options.transcriptCapacity = 128;
    return options;
  }

  bool Busy() const {
    const auto& f = tc.State().flags;
    return f.connectPending || f.downloading || f.verifying;
  }

  // Presses the button and ticks until no activity is left.
  void PressAndRun() {
    tc.BeginDownload();
    RunUntilIdle();
  }

  // Ticks until no activity is left; returns the ticks it took.
  int RunUntilIdle(int maxTicks = 20000) {
    int ticks = 0;
    while (Busy() && ticks < maxTicks) {
      tc.OnTick();
      ++ticks;
    }
    EXPECT_FALSE(Busy()) << "still busy after " << maxTicks << " ticks";
    return ticks;
  }

  int RunWhileDownloading() {
    int ticks = 0;
    while (tc.State().flags.downloading && ticks < 10000) {
      tc.OnTick();
      ++ticks;
    }
    return ticks;
  }

  // Addresses where the emulated flash differs from the image, outside the
  // skip window the download recorded.
  std::vector<std::size_t> FlashDifferences() const {
    const SkipWindow& w = tc.State().skipWindow;
    std::vector<std::size_t> differences;
    const auto flash = controller.Flash();
    for (std::size_t a = 0; a < kImageSize; ++a) {
      const bool skipped = w.open && static_cast<std::int32_t>(a) >= w.start &&
                           static_cast<std::int32_t>(a) <= w.end;
      if (!skipped && flash[a] != FirmwareImage::Byte(a)) differences.push_back(a);
    }
    return differences;
  }

  // The lines the controller received, in order.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    for (const auto& entry : controller.Transcript()) lines.push_back(entry.line);
    return lines;
  }

  std::string Status() const { return dialog.Status(); }
  std::string Field(transfer::FieldId field) const { return dialog.Field(field); }
  int Count(const std::vector<std::string>& texts, std::string_view text) const {
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
  }

  emulator::EmulatedHidPlatform platform;
  emulator::QuorvexController& controller;
  testing::RecordingDialog dialog;
  TransferController tc{platform, dialog};
};

class TransferTest : public ::testing::Test, public TransferRig {};

}  // namespace lumbra::transfer
