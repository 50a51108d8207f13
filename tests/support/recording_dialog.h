// A dialog double: keeps every field's text and every text the status line and
// the message boxes showed. A hook runs while a box is "open", the way ticks
// keep arriving under a modal box.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "transfer/dialog_port.h"

namespace lumbra::testing {

class RecordingDialog : public transfer::DialogPort {
 public:
  void SetFieldText(transfer::FieldId field, std::string_view text) override {
    fields[field] = std::string(text);
    if (field == transfer::FieldId::kStatus) statusHistory.emplace_back(text);
  }

  void ShowMessageBox(std::string_view text) override {
    boxes.emplace_back(text);
    if (whileBoxOpen) whileBoxOpen(boxes.back());
  }

  std::string Field(transfer::FieldId field) const {
    auto it = fields.find(field);
    return it == fields.end() ? std::string() : it->second;
  }
  std::string Status() const { return Field(transfer::FieldId::kStatus); }

  std::map<transfer::FieldId, std::string> fields;
  std::vector<std::string> statusHistory;
  std::vector<std::string> boxes;
  std::function<void(const std::string& box)> whileBoxOpen;
};

}  // namespace lumbra::testing
