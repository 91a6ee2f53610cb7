#include "main/demo_modes.hpp"

#include "base/sleep.hpp"
#include "gui/gui.hpp"
#include "main/failure_box.hpp"
#include "update/retry.hpp"

namespace vellicor {
namespace {

constexpr uint32_t kProgressWindowShownMs = 5000;
constexpr std::string_view kSimulationAction = "simulating a failed retry operation";
constexpr uint32_t kSimulationLimit = 5;
constexpr std::string_view kSimulatedError = "[[Simulated error message]]";

// The window thread ends without an id only when its window could not be created.
[[nodiscard]] Result<uint32_t> start_progress_window() {
  const auto thread_id = start_progress_thread(false);
  if (!thread_id) return fail_other("Could not receive GUI window handle");
  return *thread_id;
}

}  // namespace

void demo_failure_box(std::string_view log_name) {
  show_failure_box(log_name);
}

Status demo_progress_window() {
  const auto thread_id = start_progress_window();
  if (!thread_id) return fail(thread_id.error());
  sleep_milliseconds(kProgressWindowShownMs);
  post_quit_to_thread(*thread_id);
  return {};
}

Status demo_retry_simulation(std::string_view log_name) {
  const auto thread_id = start_progress_window();
  if (!thread_id) return fail(thread_id.error());
  // The step never succeeds, so this ends only when the user gives up; the error is expected.
  (void)retry_with_prompt(kSimulationAction, kSimulationLimit, [](uint32_t) -> Status {
    return fail_other(std::string(kSimulatedError));
  });
  show_failure_box(log_name);
  post_quit_to_thread(*thread_id);
  return {};
}

}  // namespace vellicor
