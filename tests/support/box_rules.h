// The rule every message box must satisfy when it opens: the activity it ends
// has already let go, so the ticks of its modal loop cannot continue it.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>

#include "transfer/messages.h"
#include "transfer/transfer_state.h"

namespace lumbra::testing {

// Empty when the box may open in this state, else what is wrong.
inline std::string CheckFlagsAtBox(std::string_view box, const transfer::TransferState& state) {
  using namespace transfer;
  const auto oneOf = [box](std::initializer_list<std::string_view> boxes) {
    return std::find(boxes.begin(), boxes.end(), box) != boxes.end();
  };
  const std::string named(box);
  // The handshake's and the download's boxes: the download and its handshake have let go.
  if (oneOf({kNotDetectedBox, kAccessDeniedBox, kStandInRefusedBox, kStartFailedBox, kSectorAddressFailedBox,
             kDownloadFailedBox, kDownloadSendFailedBox})) {
    if (state.flags.downloading || state.flags.connectPending) return "download still flagged under box: " + named;
  } else if (oneOf({kVerifyFinishedBox, kVerifyFailedBox, kVerifyAbortedBox})) {
    // A verification's own ending: its step is Done, the next tick clears its flag.
    if (state.verifyStep != VerifyStep::kDone) return "verify step not Done under box: " + named;
  } else if (box == kVerifyReadFailedBox) {  // also the verify send failure
    if (state.flags.verifying) return "verification still flagged under box: " + named;
  } else {
    return "unexpected box: " + named;
  }
  return {};
}

}  // namespace lumbra::testing
