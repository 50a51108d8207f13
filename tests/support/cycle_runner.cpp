#include "support/cycle_runner.h"

#include <algorithm>

#include "emulator/emulated_hid_platform.h"
#include "support/box_rules.h"
#include "support/recording_dialog.h"
#include "transfer/firmware_image.h"
#include "transfer/messages.h"
#include "transfer/transfer_controller.h"

namespace lumbra::reliability {

std::vector<std::uint32_t> AddressesUnlikeImage(const emulator::QuorvexController& controller) {
  std::vector<std::uint32_t> addresses;
  for (std::uint32_t a = 0; a < emulator::kFlashSize; ++a) {
    if (!controller.IsProtected(a) && controller.Flash()[a] != transfer::FirmwareImage::Byte(a)) {
      addresses.push_back(a);
    }
  }
  return addresses;
}
CycleResult RunCycle(Setup setup) {
  CycleResult result;
  emulator::EmulatedHidPlatform platform;
  setup.options.transcriptCapacity = 0;
  emulator::QuorvexController& controller = platform.AddController(setup.options);
  for (const emulator::Fault& fault : setup.faults) controller.AddFault(fault);  // ids 0, 1, ...
  testing::RecordingDialog dialog;
  transfer::TransferController tool(platform, dialog);
  int depth = 0;
  dialog.whileBoxOpen = [&](const std::string& box) {
    if (depth != 0) return result.violations.push_back("box opened by a tick under another box: " + box);
    if (std::string problem = testing::CheckFlagsAtBox(box, tool.State()); !problem.empty()) {
      result.violations.push_back(problem);
    }
    ++depth;
    const std::uint64_t frames = controller.Counters().frames;
    for (int i = 0; i < kTicksUnderBox; ++i, ++result.ticks) tool.OnTick();
    if (controller.Counters().frames != frames) result.violations.push_back("lines sent under the box: " + box);
    --depth;
  };

  tool.Init();
  tool.BeginDownload();
  bool pressed = false;
  std::size_t pressedAt = 0;  // status lines before the press belong to the run it abandoned
  for (; tool.Busy(); ++result.ticks) {
    if (result.ticks >= kTickLimit) {
      result.violations.push_back("no end after " + std::to_string(kTickLimit) + " ticks");
      break;
    }
    const transfer::TransferState& state = tool.State();
    if (state.flags.verifying && !state.flags.downloading && !result.faultFired && !setup.disturbBeforeVerify.empty()) {
      result.faultFired = true;
      std::vector<std::uint8_t> flash(controller.Flash().begin(), controller.Flash().end());
      for (std::uint32_t address : setup.disturbBeforeVerify) flash[address] ^= 0x5A;
      controller.LoadFlash(std::span<const std::uint8_t, emulator::kFlashSize>(flash));
    }
    if (!pressed && state.flags.verifying && state.verifyStep == transfer::VerifyStep::kSendAddress &&
        static_cast<std::int64_t>(state.currentAddress) == setup.pressAtVerifyAddress) {
      pressed = true;
      pressedAt = dialog.statusHistory.size();
      tool.BeginDownload();
    }
    tool.OnTick();
  }

  result.status = dialog.Status();
  result.boxes = dialog.boxes;
  result.fields = dialog.fields;
  result.report = tool.Report();
  for (std::size_t i = 0; i < setup.faults.size(); ++i) {
    // A stuck cell is stuck from the start; it does not fire on frames.
    result.faultFired = result.faultFired || controller.TimesFired(i) > 0 ||
                        setup.faults[i].kind == emulator::FaultKind::kStuckBits;
  }
  result.passed = result.status == transfer::kVerifyFinished && !result.boxes.empty() &&
                  result.boxes.back() == transfer::kVerifyFinishedBox;
  result.flashMatches = FlashHoldsImage(controller);
  // The run's report has its ending, and the resends the status line showed since the last press.
  if (!result.report.outcome) result.violations.push_back("no outcome in the run's report");
  result.resends = static_cast<int>(std::count(dialog.statusHistory.begin() + static_cast<std::ptrdiff_t>(pressedAt),
                                               dialog.statusHistory.end(), transfer::kResendingSector));
  if (result.report.TotalResends() != result.resends) {
    result.violations.push_back("report's resends unlike those shown");
  }
  result.serviceOnLines = controller.Counters().Count(emulator::Command::kServiceOn);
  if (platform.Counters(0).OpenHandles() > 1) result.violations.push_back("handles leaked");
  return result;
}

}  // namespace lumbra::reliability
