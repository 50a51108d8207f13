// What the dialogs do with the engine's events: replace a field's text, and
// show a modal message box. The Qt and the Win32 dialogs implement
// DialogPort; DialogView renders the events into it, so that both dialogs
// show the same texts at the same moments.
#pragma once

#include <string>
#include <string_view>

#include "transfer/transfer_events.h"

namespace lumbra::transfer {

// The dialog's four read-only fields; each front end maps them to its controls.
enum class FieldId {
  kDownloadPercent,
  kStatus,
  kErrors,
  kVerifyPercent,
};

class DialogPort {
 public:
  virtual ~DialogPort() = default;

  // Replaces the whole text of a field.
  virtual void SetFieldText(FieldId field, std::string_view text) = 0;

  // Shows a modal message box with a warning icon and a single OK button and
  // returns when it is dismissed. Timer ticks keep arriving while it is open,
  // so callers change their flags before they call it.
  virtual void ShowMessageBox(std::string_view text) = 0;
};

// The engine's events as the dialog shows them: the status line, the
// percentages of the position in the image (over the last address, as the
// dialog always has, so the last chunk shows "99.99%" before "100.00"), every
// difference so far in the error field, and the boxes.
class DialogView final : public TransferObserver {
 public:
  explicit DialogView(DialogPort& dialog) : dialog_(dialog) {}

  void OnPhase(Phase phase) override;
  void OnProgress(const Progress& progress) override;
  void OnPhaseComplete(Phase phase) override;
  void OnDifference(const Difference& difference) override;
  void OnStatus(std::string_view text, Narration) override {
    dialog_.SetFieldText(FieldId::kStatus, text);
  }
  void OnBox(std::string_view text) override { dialog_.ShowMessageBox(text); }

 private:
  DialogPort& dialog_;
  // The error field shows the whole list; it keeps an earlier verification's
  // text until the new one finds its first difference.
  std::string errorLog_;
};

}  // namespace lumbra::transfer
