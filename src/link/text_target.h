// Something whose whole text can be replaced: the dialog's status line, seen from the link.
#pragma once

#include <string_view>

namespace lumbra::link {

class TextTarget {
 public:
  virtual ~TextTarget() = default;
  virtual void SetText(std::string_view text) = 0;
};

}  // namespace lumbra::link
