#pragma once
// Standard output and error of a GUI-subsystem program: written when the caller redirected
// them, silently skipped when they are absent.

#include <string_view>

namespace vellicor {

void write_stdout(std::string_view text);
void write_stderr(std::string_view text);

// True when standard error is an interactive terminal.
bool stderr_is_terminal();

}  // namespace vellicor
