// A TransferController on the emulated controller, driven tick by tick.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "emulator/emulated_hid_platform.h"
#include "support/box_rules.h"
#include "support/recording_dialog.h"
#include "transfer/firmware_image.h"
#include "transfer/messages.h"
#include "transfer/transfer_controller.h"

namespace lumbra::transfer {

using Texts = std::vector<std::string>;

// The emulated controller, a recording dialog and the controller under test.
// Every box must find its activity let go; tests that watch a box set their own hook.
struct TransferRig {
  TransferRig() : controller(platform.AddController({.initialFlash = {}, .transcriptCapacity = 128})) {
    tc.Init();
    dialog.whileBoxOpen = [this](const std::string& box) {  // the close guard's box ends nothing
      if (box != kCloseRefusedBox) { EXPECT_EQ(testing::CheckFlagsAtBox(box, tc.State()), ""); }
    };
  }

  // Presses the button and ticks until no activity is left.
  void PressAndRun() {
    tc.BeginDownload();
    RunUntilIdle();
  }

  // Ticks until no activity is left; returns the ticks it took.
  int RunUntilIdle() { return RunWhile([this] { return tc.Busy(); }); }
  int RunWhileDownloading() { return RunWhile([this] { return tc.State().flags.downloading; }); }
  template <typename Condition>
  int RunWhile(Condition condition) {
    int ticks = 0;
    for (; condition() && ticks < 20000; ++ticks) tc.OnTick();
    EXPECT_LT(ticks, 20000) << "no end";
    return ticks;
  }

  // Whether the emulated flash holds the image everywhere but in the boot
  // code, as the controller itself knows it.
  bool FlashHoldsImage(const emulator::QuorvexController& c) const {
    for (FlashAddress a = 0; a < kImageSize; ++a) {
      if (!c.IsProtected(a) && c.Flash()[a] != FirmwareImage::Byte(a)) return false;
    }
    return true;
  }
  bool FlashHoldsImage() const { return FlashHoldsImage(controller); }

  // The lines the controller received, in order.
  Texts Lines() const {
    Texts lines;
    for (const auto& entry : controller.Transcript()) lines.push_back(entry.line);
    return lines;
  }

  std::string Status() const { return dialog.Status(); }
  std::string Field(FieldId field) const { return dialog.Field(field); }
  int Count(const Texts& texts, std::string_view text) const {
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
  }

  emulator::EmulatedHidPlatform platform;
  emulator::QuorvexController& controller;
  testing::RecordingDialog dialog;
  TransferController tc{platform, dialog};
};

class TransferTest : public ::testing::Test, public TransferRig {};

}  // namespace lumbra::transfer
