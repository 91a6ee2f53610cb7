#include "base/error.hpp"

namespace vellicor {

std::string Error::display_text() const {
  std::string text(kind_->fixed_text());
  if (kind_->stands_alone()) return text;
  text += message_;
  if (os_code_) text += " (os error " + std::to_string(*os_code_) + ")";
  return text;
}

}  // namespace vellicor
