#pragma once
// The box that tells the user an update failed and which log file to attach to a report.

#include <string>
#include <string_view>

namespace vellicor {

// The advice paragraphs and the log path, separated by blank lines; the path ends the text.
std::string failure_box_text(std::string_view log_path);

// Shows the box and returns once it is dismissed; a box that cannot be shown counts as
// dismissed.
void show_failure_box(std::string_view log_path);

}  // namespace vellicor
