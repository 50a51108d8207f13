// What the handshake and the engines need of a front end: replace a field's
// text, and show a modal message box. The Qt and the Win32 dialogs implement
// it, the command line answers its boxes at once, and tests record it.
#pragma once

#include <string_view>

#include "link/text_target.h"

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

// One field of the dialog as a link::TextTarget (the link's status line).
class FieldTarget final : public link::TextTarget {
 public:
  FieldTarget(DialogPort& dialog, FieldId field) : dialog_(dialog), field_(field) {}
  void SetText(std::string_view text) override { dialog_.SetFieldText(field_, text); }

 private:
  DialogPort& dialog_;
  FieldId field_;
};

}  // namespace lumbra::transfer
