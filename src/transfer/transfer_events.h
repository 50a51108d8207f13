// What the handshake and the two engines tell as they work, as typed events:
// the phase, the position in it, resends, differences, the status line, the
// boxes and the end. The dialogs render them into their fields (DialogView);
// the command line and other front ends observe the same events and never
// read the dialog's texts back.
#pragma once

#include <cstdint>
#include <string_view>

#include "transfer/endings.h"
#include "transfer/firmware_image.h"
#include "transfer/run_report.h"

namespace lumbra::transfer {

enum class Phase { kHandshake, kDownload, kVerify };
std::string_view ToString(Phase phase);

// What a status text is: news, or the narration every sector or block
// repeats ("Reading sector checksum.", "Verifying address 0x10"), which a
// front end with a progress display of its own may leave out.
enum class Narration { kNews, kStep };

// How far the running phase has come.
struct Progress {
  Phase phase = Phase::kHandshake;
  std::uint32_t position = 0;  // image bytes sent (download) or compared (verify)
  std::uint32_t total = 0;     // image bytes in the phase
  FlashAddress address = 0;    // the sector being written, or the block just read
  // Engine steps (timer ticks that did work) since the button, and the
  // fewest still needed to finish the verification: the ETA's basis.
  std::uint32_t stepsDone = 0;
  std::uint32_t stepsLeft = 0;
};

// Every call comes from the thread that ticks the engine, in the order the
// engine does things; a box's call returns when the box is dismissed.
class TransferObserver {
 public:
  virtual ~TransferObserver() = default;

  virtual void OnPhase(Phase /*phase*/) {}
  virtual void OnProgress(const Progress& /*progress*/) {}
  // The phase did all its work: every sector confirmed, or every block read.
  virtual void OnPhaseComplete(Phase /*phase*/) {}
  // A sector is sent again after a checksum it failed; `resend` counts from 1.
  virtual void OnResend(FlashAddress /*sector*/, int /*resend*/) {}
  // A flash byte the verification found unlike the image.
  virtual void OnDifference(const Difference& /*difference*/) {}
  virtual void OnStatus(std::string_view /*text*/, Narration /*narration*/) {}
  virtual void OnBox(std::string_view /*text*/) {}
  // The run ended; `report` is final.
  virtual void OnEnd(Outcome /*outcome*/, const RunReport& /*report*/) {}
};

}  // namespace lumbra::transfer
