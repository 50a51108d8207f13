// The rule every message box must satisfy when it opens: the activity it ends
// has already let go, so the ticks of its modal loop cannot continue it.
#pragma once

#include <string>
#include <string_view>

#include "transfer/messages.h"
#include "transfer/transfer_state.h"

namespace lumbra::testing {

// Empty when the box may open in this state, else what is wrong.
inline std::string CheckFlagsAtBox(std::string_view box, const transfer::TransferState& state) {
  const bool downloadBox = box == transfer::kNotDetectedBox || box == transfer::kAccessDeniedBox ||
                           box == transfer::kStartFailedBox ||
                           box == transfer::kSectorAddressFailedBox ||
                           box == transfer::kDownloadFailedBox || box == transfer::kStandInRefusedBox ||
                           box == transfer::kDownloadSendFailedBox;
  const bool verifyEndBox = box == transfer::kVerifyFinishedBox ||
                            box == transfer::kVerifyFailedBox || box == transfer::kVerifyAbortedBox;
  if (downloadBox) {
    if (state.flags.downloading || state.flags.connectPending) {
      return "download still flagged under box: " + std::string(box);
    }
  } else if (verifyEndBox) {
    if (state.verifyStep != transfer::VerifyStep::kDone) {
      return "verify step not Done under box: " + std::string(box);
    }
  } else if (box == transfer::kVerifyReadFailedBox) {  // also the verify send failure
    if (state.flags.verifying) return "verification still flagged under box";
  } else {
    return "unexpected box: " + std::string(box);
  }
  return {};
}

}  // namespace lumbra::testing
