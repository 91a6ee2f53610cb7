#include "update/retry.hpp"

#include <limits>

#include "base/sleep.hpp"

namespace vellicor {

void RetryHooks::default_sleep(uint32_t milliseconds) {
  sleep_milliseconds(milliseconds);
}

MessageBoxAnswer RetryHooks::default_ask(std::string_view text) {
  return show_message_box(text, kMessageBoxCaption, MessageBoxButtons::RetryCancel);
}

std::string retry_box_text(std::string_view action, const Error& error) {
  return "There was an error while " + std::string(action) + ":\n\n" + error.display_text() +
         "\n\nPlease verify there are no Vellicor processes still executing.";
}

std::string attempt_suffix(uint32_t attempt) {
  return " (attempt " + std::to_string(attempt) + ")";
}

uint32_t retry_wait_milliseconds(uint32_t attempt) {
  // Limits are small, but a huge one must neither wrap around to a short wait nor reach the
  // all-ones value, which the platform's sleep takes as "forever".
  const uint64_t wait = 50ULL * attempt * attempt;
  constexpr uint64_t kLongest = std::numeric_limits<uint32_t>::max() - 1;
  return static_cast<uint32_t>(wait < kLongest ? wait : kLongest);
}

}  // namespace vellicor
