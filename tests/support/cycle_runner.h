// Runs one whole download and verification the way the dialog does: the
// button, then timer ticks until every activity has ended, with a few ticks
// under each message box as its modal loop delivers them. Records what the
// technician saw and checks what must hold at every box.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "emulator/fault.h"
#include "emulator/quorvex_controller.h"
#include "transfer/dialog_port.h"
#include "transfer/run_report.h"

namespace lumbra::reliability {

// A whole cycle is about 12,400 ticks; two of them (a second press of the
// button) and the boxes fit well inside this.
inline constexpr int kTickLimit = 40'000;
// Ticks the modal loop of each box delivers before it is dismissed.
inline constexpr int kTicksUnderBox = 3;

struct Setup {
  emulator::ControllerOptions options;
  std::vector<emulator::Fault> faults;
  // Flash cells disturbed (xor 0x5A) after the download, before the verification reads them.
  std::vector<std::uint32_t> disturbBeforeVerify;
  // Press the button again when the verification is about to read this block address.
  std::int64_t pressAtVerifyAddress = -1;
};

struct CycleResult {
  std::string status;                   // the status line at the end
  std::vector<std::string> boxes;       // every message box, in order
  std::vector<std::string> violations;  // broken rules, empty when none
  int ticks = 0;
  int resends = 0;                      // "Resending sector" shown since the last press
  std::map<transfer::FieldId, std::string> fields;  // every field's text at the end
  transfer::RunReport report;           // the run's report
  bool faultFired = false;              // an injected fault took effect
  bool passed = false;                  // "Verify Finished. Cycle Power." was reported
  bool flashMatches = false;            // flash equals the image outside the boot code
  std::uint64_t serviceOnLines = 0;

  bool FalsePass() const { return passed && !flashMatches; }
};

CycleResult RunCycle(Setup setup);

// The addresses outside the boot code where the emulated flash is not the
// image, as the controller itself knows it: the verdict no run's own report decides.
std::vector<std::uint32_t> AddressesUnlikeImage(const emulator::QuorvexController& controller);
inline bool FlashHoldsImage(const emulator::QuorvexController& controller) {
  return AddressesUnlikeImage(controller).empty();
}

}  // namespace lumbra::reliability
