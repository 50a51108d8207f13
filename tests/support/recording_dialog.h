// A dialog double: keeps every field's text and every text the status line and
// the message boxes showed. A hook runs while a box is "open", the way ticks
// keep arriving under a modal box.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "protocol/dialog_port.h"

namespace lumbra::testing {

class RecordingDialog : public protocol::DialogPort {
 public:
  void SetFieldText(protocol::FieldId field, std::string_view text) override {
    fields[field] = std::string(text);
    if (field == protocol::FieldId::kStatus) statusHistory.emplace_back(text);
  }

  void ShowMessageBox(std::string_view text) override {
    boxes.emplace_back(text);
    if (whileBoxOpen) whileBoxOpen(boxes.back());
  }

  std::string Field(protocol::FieldId field) const {
    auto it = fields.find(field);
    return it == fields.end() ? std::string() : it->second;
  }
  std::string Status() const { return Field(protocol::FieldId::kStatus); }

  std::map<protocol::FieldId, std::string> fields;
  std::vector<std::string> statusHistory;
  std::vector<std::string> boxes;
  std::function<void(const std::string& box)> whileBoxOpen;
};

}  // namespace lumbra::testing
