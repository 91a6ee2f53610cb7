#pragma once
// Running a step that may fail for a while: numbered attempts with growing waits, then asking the
// user whether to start over.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

#include "base/error.hpp"
#include "gui/gui.hpp"

namespace vellicor {

// The attempts of a step that is retried with growing waits before the user is asked: every
// file step of the update but the first open of an old file.
constexpr uint32_t kRetryLimit = 11;

// The attempts of opening a file that another program may hold open for a while (an old file,
// a staged one): more, with longer waits, since that program may still be ending.
constexpr uint32_t kOpenLimit = 16;

// How retry_with_prompt waits and asks; the defaults sleep for real and show the Retry/Cancel
// box. Tests put in their own to run long series at once and answer in code.
struct RetryHooks {
  std::function<void(uint32_t milliseconds)> sleep = default_sleep;
  std::function<MessageBoxAnswer(std::string_view text)> ask = default_ask;

  static void default_sleep(uint32_t milliseconds);
  static MessageBoxAnswer default_ask(std::string_view text);
};

// "There was an error while <action>:\n\n<error>\n\nPlease verify there are no Vellicor
// processes still executing."
std::string retry_box_text(std::string_view action, const Error& error);

// " (attempt n)", which the log lines of a retried step end with.
std::string attempt_suffix(uint32_t attempt);

// The wait after failed attempt n of a series: 50 * n * n milliseconds.
uint32_t retry_wait_milliseconds(uint32_t attempt);

// Calls operation(n) with n = 1, 2, ... until it succeeds, waiting retry_wait_milliseconds(n)
// after each failure. When attempt `limit` of a series fails, the user is asked; Retry starts a
// new series at attempt 1 without waiting, any other answer gives back that last error. An error
// of a final kind (ErrorKind::is_final) ends it at once, without a box. The operation returns a
// Result<T> (or Status), which is what this returns.
template <class Operation>
[[nodiscard]] auto retry_with_prompt(std::string_view action, uint32_t limit, Operation&& operation,
                                     const RetryHooks& hooks = {})
    -> std::invoke_result_t<Operation&, uint32_t> {
  uint32_t attempt = 0;
  for (;;) {
    ++attempt;
    auto result = operation(attempt);
    // A final error (a flush that failed) is not tried again: a later success would hide it.
    if (result || result.error().kind().is_final()) return result;
    if (attempt >= limit) {
      if (hooks.ask(retry_box_text(action, result.error())) != MessageBoxAnswer::Retry) {
        return result;
      }
      attempt = 0;
    }
    // Intermediate errors are dropped: only the one that ends the procedure is reported.
    if (const uint32_t wait = retry_wait_milliseconds(attempt); wait > 0) hooks.sleep(wait);
  }
}

// The same steps without the question: one series of `limit` attempts, then the last error. For
// steps whose failure the update survives, where a box would only hold it up.
template <class Operation>
[[nodiscard]] auto retry_without_prompt(uint32_t limit, Operation&& operation,
                                        const RetryHooks& hooks = {})
    -> std::invoke_result_t<Operation&, uint32_t> {
  const RetryHooks unasked{hooks.sleep, [](std::string_view) { return MessageBoxAnswer::Cancel; }};
  return retry_with_prompt("", limit, std::forward<Operation>(operation), unasked);
}

}  // namespace vellicor
