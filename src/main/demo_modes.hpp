#pragma once
// The modes that show the program's windows without an update: nothing is logged or written.

#include <string_view>

#include "base/error.hpp"

namespace vellicor {

// Shows the failure box naming the bare log file name (no such file is created).
void demo_failure_box(std::string_view log_name);

// Shows the progress window for five seconds, then tells it to quit.
[[nodiscard]] Status demo_progress_window();

// Shows the progress window and a step that always fails under retry_with_prompt, with its
// Retry/Cancel box; when the user gives up, the failure box, and only then closes the window.
[[nodiscard]] Status demo_retry_simulation(std::string_view log_name);

}  // namespace vellicor
