#include "main/failure_box.hpp"

#include <array>

#include "gui/gui.hpp"

namespace vellicor {

std::string failure_box_text(std::string_view log_path) {
  const std::array<std::string_view, 4> paragraphs = {
      "Failed to install Vellicor update.",
      "Updates may fail due to anti-virus software and/or runaway processes. Please try "
      "restarting your machine before attempting to update again.",
      "If update fails repeatedly, please attach the following log file to a new issue on "
      "GitHub:",
      log_path,
  };
  std::string text(paragraphs[0]);
  for (size_t i = 1; i < paragraphs.size(); ++i) {
    text += "\n\n";
    text += paragraphs[i];
  }
  return text;
}

void show_failure_box(std::string_view log_path) {
  // Whatever the answer, the caller goes on the same way.
  (void)show_message_box(failure_box_text(log_path), kMessageBoxCaption, MessageBoxButtons::Ok);
}

}  // namespace vellicor
