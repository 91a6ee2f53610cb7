#include "update/retry.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace vellicor {
namespace {

// Records every wait and question, and answers from a script (None once it runs out).
struct FakeUser {
  std::vector<uint32_t> waits;
  std::vector<std::string> questions;
  std::deque<MessageBoxAnswer> answers;

  RetryHooks hooks() {
    return RetryHooks{
        .sleep = [this](uint32_t ms) { waits.push_back(ms); },
        .ask =
            [this](std::string_view text) {
              questions.emplace_back(text);
              if (answers.empty()) return MessageBoxAnswer::None;
              const auto answer = answers.front();
              answers.pop_front();
              return answer;
            },
    };
  }
};

// Fails every attempt with a text that names the call, so the returned error can be traced.
struct AlwaysFailing {
  std::vector<uint32_t> attempts;
  Status operator()(uint32_t attempt) {
    attempts.push_back(attempt);
    return fail_other("failure " + std::to_string(attempts.size()));
  }
};

std::vector<uint32_t> series_waits(uint32_t limit) {
  std::vector<uint32_t> waits;
  for (uint32_t n = 1; n < limit; ++n)
    waits.push_back(50 * n * n);
  return waits;
}

std::vector<uint32_t> numbered(uint32_t from, uint32_t to) {
  std::vector<uint32_t> numbers;
  for (uint32_t n = from; n <= to; ++n)
    numbers.push_back(n);
  return numbers;
}

TEST(RetryWithPromptTest, WaitsGrowQuadraticallyUntilTheLimitThenAsksOnce) {
  const struct {
    uint32_t limit;
    uint32_t last_wait;
    uint32_t total_wait;
  } cases[] = {{16, 11250, 62000}, {11, 5000, 19250}, {5, 800, 1500}, {1, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE("limit " + std::to_string(c.limit));
    FakeUser user;
    user.answers = {MessageBoxAnswer::Cancel};
    AlwaysFailing operation;
    const Status result = retry_with_prompt("doing it", c.limit, std::ref(operation), user.hooks());

    EXPECT_EQ(operation.attempts, numbered(1, c.limit));
    EXPECT_EQ(user.waits, series_waits(c.limit));
    EXPECT_EQ(user.waits.empty() ? 0u : user.waits.back(), c.last_wait);
    uint32_t total = 0;
    for (const uint32_t wait : user.waits)
      total += wait;
    EXPECT_EQ(total, c.total_wait);
    EXPECT_EQ(user.questions.size(), 1u);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().display_text(), "failure " + std::to_string(c.limit));
  }
}

TEST(RetryWithPromptTest, RetryStartsANewSeriesAtAttemptOneWithoutWaiting) {
  FakeUser user;
  user.answers = {MessageBoxAnswer::Retry, MessageBoxAnswer::Retry, MessageBoxAnswer::Cancel};
  AlwaysFailing operation;
  const Status result = retry_with_prompt("doing it", 5, std::ref(operation), user.hooks());

  std::vector<uint32_t> attempts;
  std::vector<uint32_t> waits;
  for (int series = 0; series < 3; ++series) {
    for (uint32_t n = 1; n <= 5; ++n)
      attempts.push_back(n);
    for (const uint32_t wait : series_waits(5))
      waits.push_back(wait);
  }
  EXPECT_EQ(operation.attempts, attempts);
  // The first wait of a new series follows its first failure, not the Retry itself.
  EXPECT_EQ(user.waits, waits);
  EXPECT_EQ(user.questions.size(), 3u);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), "failure 15");
}

TEST(RetryWithPromptTest, EveryAnswerButRetryGivesUpWithTheLastError) {
  for (const auto answer :
       {MessageBoxAnswer::None, MessageBoxAnswer::Cancel, MessageBoxAnswer::Ok,
        MessageBoxAnswer::Abort, MessageBoxAnswer::Ignore, MessageBoxAnswer::TryAgain,
        MessageBoxAnswer::Continue, MessageBoxAnswer::Yes, MessageBoxAnswer::No}) {
    SCOPED_TRACE(static_cast<int>(answer));
    FakeUser user;
    user.answers = {answer};
    AlwaysFailing operation;
    const Status result = retry_with_prompt("doing it", 3, std::ref(operation), user.hooks());
    EXPECT_EQ(operation.attempts.size(), 3u);
    EXPECT_EQ(user.questions.size(), 1u);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), "failure 3");
  }
}

// A success, or an error that no retry can undo (a flush that failed: a second one that
// succeeds proves nothing), ends the series at once, without a box.
TEST(RetryWithPromptTest, SuccessOrAFinalErrorEndsTheSeriesAtOnceAfterTheWaitsOfEarlierFailures) {
  for (const bool final_error : {false, true}) {
    SCOPED_TRACE(final_error);
    FakeUser user;
    const Result<std::string> result = retry_with_prompt(
        "doing it", 11,
        [&](uint32_t attempt) -> Result<std::string> {
          if (attempt < 4) return fail_other("not yet");
          if (final_error) return fail(Error(FlushError, "Input/output error", 5));
          return "done at " + std::to_string(attempt);
        },
        user.hooks());
    ASSERT_EQ(result.has_value(), !final_error);
    EXPECT_EQ(result ? *result : result.error().display_text(),
              final_error ? "Input/output error (os error 5)" : "done at 4");
    EXPECT_EQ(user.waits, (std::vector<uint32_t>{50, 200, 450}));
    EXPECT_TRUE(user.questions.empty());
  }
}

TEST(RetryWithPromptTest, SuccessAfterARetryEndsTheProcedure) {
  FakeUser user;
  user.answers = {MessageBoxAnswer::Retry};
  int calls = 0;
  const Result<std::unique_ptr<int>> result = retry_with_prompt(
      "doing it", 2,
      [&](uint32_t attempt) -> Result<std::unique_ptr<int>> {
        if (++calls < 4) return fail_other("locked");
        return std::make_unique<int>(static_cast<int>(attempt));
      },
      user.hooks());
  ASSERT_TRUE(result);
  EXPECT_EQ(**result, 2);  // the second attempt of the second series
  EXPECT_EQ(user.waits, (std::vector<uint32_t>{50, 50}));
  EXPECT_EQ(user.questions.size(), 1u);
}

TEST(RetryWithPromptTest, TheBoxNamesTheActionAndTheErrorsDisplayText) {
  FakeUser user;
  (void)retry_with_prompt(
      "simulating a failed retry operation", 5,
      [](uint32_t) -> Status { return fail_other("[[Simulated error message]]"); }, user.hooks());
  (void)retry_with_prompt(
      "Opening file handle: C:\\Apps\\Vellicor\\a.dll", 1,
      [](uint32_t) -> Status {
        return fail(Error(IoError, "The process cannot access the file.\r\n", 32));
      },
      user.hooks());
  ASSERT_EQ(user.questions.size(), 2u);
  EXPECT_EQ(user.questions[0],
            "There was an error while simulating a failed retry operation:\n\n"
            "[[Simulated error message]]\n\n"
            "Please verify there are no Vellicor processes still executing.");
  EXPECT_EQ(user.questions[1],
            "There was an error while Opening file handle: C:\\Apps\\Vellicor\\a.dll:\n\n"
            "The process cannot access the file.\r\n (os error 32)\n\n"
            "Please verify there are no Vellicor processes still executing.");
}

TEST(RetryWithPromptTest, WaitsOfHugeLimitsSaturateInsteadOfWrapping) {
  EXPECT_EQ(retry_wait_milliseconds(0), 0u);
  EXPECT_EQ(retry_wait_milliseconds(15), 11250u);
  EXPECT_EQ(retry_wait_milliseconds(9268), 50u * 9268u * 9268u);
  EXPECT_EQ(retry_wait_milliseconds(9269), 0xFFFFFFFEu);  // 50 * 9269^2 passes 2^32
  EXPECT_EQ(retry_wait_milliseconds(0xFFFFFFFFu), 0xFFFFFFFEu);
}

}  // namespace
}  // namespace vellicor
