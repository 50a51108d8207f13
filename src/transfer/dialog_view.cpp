#include <cstdio>

#include "transfer/dialog_port.h"
#include "transfer/messages.h"

namespace lumbra::transfer {

namespace {

FieldId PercentField(Phase phase) {
  return phase == Phase::kVerify ? FieldId::kVerifyPercent : FieldId::kDownloadPercent;
}

}  // namespace

void DialogView::OnPhase(Phase phase) {
  if (phase == Phase::kVerify) errorLog_.clear();
}

void DialogView::OnProgress(const Progress& progress) {
  float percent = static_cast<float>(static_cast<double>(progress.position) /
                                     static_cast<double>(kEndAddress) * 100.0);
  if (percent > 99.99f) percent = 99.99f;
  char text[32];
  std::snprintf(text, sizeof text, "%5.2f%%", static_cast<double>(percent));
  dialog_.SetFieldText(PercentField(progress.phase), text);
}

void DialogView::OnPhaseComplete(Phase phase) {
  if (phase != Phase::kHandshake) dialog_.SetFieldText(PercentField(phase), kPercentComplete);
}

void DialogView::OnDifference(const Difference& d) {
  errorLog_ += DifferenceLine(d.address, d.read, d.expected);
  dialog_.SetFieldText(FieldId::kErrors, errorLog_);
}

}  // namespace lumbra::transfer
