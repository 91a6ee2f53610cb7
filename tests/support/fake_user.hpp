#pragma once
// A stand-in for the user and the clock of retry_with_prompt: records every wait and every
// question, and answers with the given answers in order (Cancel once they run out).

#include <deque>
#include <string>
#include <vector>

#include "update/retry.hpp"

namespace vellicor::testing_support {

struct FakeUser {
  std::deque<MessageBoxAnswer> answers;
  std::vector<uint32_t> waits;
  std::vector<std::string> questions;

  RetryHooks hooks() {
    RetryHooks hooks;
    hooks.sleep = [this](uint32_t milliseconds) { waits.push_back(milliseconds); };
    hooks.ask = [this](std::string_view text) {
      questions.emplace_back(text);
      if (answers.empty()) return MessageBoxAnswer::Cancel;
      const auto answer = answers.front();
      answers.pop_front();
      return answer;
    };
    return hooks;
  }
};

// The waits of one series of `failures` failed attempts that ends with the box: 50 * n * n ms
// after attempts 1 to failures - 1.
inline std::vector<uint32_t> series_waits(uint32_t failures) {
  std::vector<uint32_t> waits;
  for (uint32_t n = 1; n < failures; ++n)
    waits.push_back(50 * n * n);
  return waits;
}

}  // namespace vellicor::testing_support
