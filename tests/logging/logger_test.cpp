#include "logging/logger.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/sleep.hpp"
#include "base/thread.hpp"
#include "support/log_capture.hpp"

namespace vellicor {
namespace {

using testing_support::CapturedLogger;
using testing_support::make_captured_logger;

const std::string kReport = "ERRO slog-async: logger dropped messages due to channel overflow";

std::string report_line(uint64_t count) {
  return kReport + ", count: " + std::to_string(count);
}

std::string record_name(size_t i) {
  return "record " + std::to_string(i);
}

// Stalls the worker on a first record and fills the queue behind it.
void stall_with_full_queue(CapturedLogger& captured) {
  captured.capture->stall();
  log_info(*captured.logger, "blocker");
  ASSERT_TRUE(captured.capture->wait_until_stalled());
  for (size_t i = 0; i < kLogQueueCapacity; ++i)
    log_info(*captured.logger, record_name(i));
  ASSERT_EQ(dropped_count(*captured.logger), 0u) << "the queue holds " << kLogQueueCapacity;
}

std::vector<std::string> blocker_and_queue() {
  std::vector<std::string> lines{"INFO blocker"};
  for (size_t i = 0; i < kLogQueueCapacity; ++i)
    lines.push_back("INFO " + record_name(i));
  return lines;
}

TEST(LoggerTest, LevelsAreWrittenWithTheirNames) {
  auto captured = make_captured_logger();
  log(*captured.logger, LogLevel::Critical, "c");
  log_error(*captured.logger, "e");
  log_warning(*captured.logger, "w");
  log_info(*captured.logger, "i");
  log(*captured.logger, LogLevel::Debug, "d", kProcessModule);
  log(*captured.logger, LogLevel::Trace, "t");
  EXPECT_EQ(captured.release(),
            (std::vector<std::string>{"CRIT c", "ERRO e", "WARN w", "INFO i", "DEBG d", "TRCE t"}));
}

TEST(LoggerTest, EveryLineIsWrittenWholeWithATimestamp) {
  auto captured = make_captured_logger();
  log_info(*captured.logger, "first\nsecond");
  log(*captured.logger, LogLevel::Info, "", {{"count", 3}});
  release_logger(std::move(captured.logger));
  const auto lines = captured.capture->lines();
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& line : lines) {
    EXPECT_TRUE(testing_support::starts_with_timestamp(line)) << line;
    EXPECT_TRUE(line.ends_with('\n')) << line;
  }
  EXPECT_EQ(lines[0].substr(kTimestampLength), " INFO first\nsecond\n");
  EXPECT_EQ(lines[1].substr(kTimestampLength), " INFO count: 3\n");
}

TEST(LoggerTest, RecordPairsComeLastAttachedFirstThenTheLoggersPairs) {
  auto captured = make_captured_logger({LogPair{"a", 1}, LogPair{"b", "two"}});
  log(*captured.logger, LogLevel::Warning, "msg", {{"x", true}, {"y", -1}});
  log_info(*captured.logger, "");
  EXPECT_EQ(captured.release(), (std::vector<std::string>{"WARN msg, y: -1, x: true, b: two, a: 1",
                                                          "INFO b: two, a: 1"}));
}

TEST(LoggerTest, QueueHoldsItsCapacityAndReportsTheLossBeforeTheNextRecord) {
  auto captured = make_captured_logger();
  ASSERT_NO_FATAL_FAILURE(stall_with_full_queue(captured));
  log_info(*captured.logger, "lost");
  EXPECT_EQ(dropped_count(*captured.logger), 1u);

  captured.capture->resume();
  ASSERT_TRUE(captured.capture->wait_for_lines(kLogQueueCapacity + 1));
  log_info(*captured.logger, "after");
  EXPECT_EQ(dropped_count(*captured.logger), 0u);

  auto expected = blocker_and_queue();
  expected.push_back(report_line(1));
  expected.push_back("INFO after");
  EXPECT_EQ(captured.release(), expected);
}

TEST(LoggerTest, AReportThatDoesNotFitAddsItselfAndTheRecordToThePendingCount) {
  auto captured = make_captured_logger();
  ASSERT_NO_FATAL_FAILURE(stall_with_full_queue(captured));
  // Each call finds the pending count, fails to queue its report (+ pending + 1) and its
  // record (+ 1).
  const uint64_t counts_after_each_call[] = {1, 3, 5, 7};
  for (const uint64_t expected : counts_after_each_call) {
    log_info(*captured.logger, "lost");
    EXPECT_EQ(dropped_count(*captured.logger), expected);
  }
  captured.capture->resume();
  ASSERT_TRUE(captured.capture->wait_for_lines(kLogQueueCapacity + 1));
  log_info(*captured.logger, "after");

  auto expected = blocker_and_queue();
  expected.push_back(report_line(7));
  expected.push_back("INFO after");
  EXPECT_EQ(captured.release(), expected);
}

TEST(LoggerTest, TheOverflowReportCarriesTheLoggersPairs) {
  auto captured = make_captured_logger({LogPair{"run", 9}});
  ASSERT_NO_FATAL_FAILURE(stall_with_full_queue(captured));
  log_info(*captured.logger, "lost");
  captured.capture->resume();
  ASSERT_TRUE(captured.capture->wait_for_lines(kLogQueueCapacity + 1));
  log_info(*captured.logger, "after");
  const auto lines = captured.release();
  ASSERT_EQ(lines.size(), kLogQueueCapacity + 3);
  EXPECT_EQ(lines[kLogQueueCapacity + 1], report_line(1) + ", run: 9");
  EXPECT_EQ(lines[kLogQueueCapacity + 2], "INFO after, run: 9");
}

TEST(LoggerTest, ReleaseWritesEverythingQueuedBeforeItReturns) {
  auto captured = make_captured_logger();
  captured.capture->stall();
  log_info(*captured.logger, "blocker");
  ASSERT_TRUE(captured.capture->wait_until_stalled());
  for (size_t i = 0; i < 100; ++i)
    log_info(*captured.logger, record_name(i));

  auto releaser = Thread::start([&] { release_logger(std::move(captured.logger)); });
  ASSERT_TRUE(releaser.has_value()) << releaser.error().display_text();
  sleep_milliseconds(20);
  captured.capture->resume();
  releaser->join();

  EXPECT_TRUE(captured.capture->closed());
  std::vector<std::string> expected{"INFO blocker"};
  for (size_t i = 0; i < 100; ++i)
    expected.push_back("INFO " + record_name(i));
  EXPECT_EQ(captured.capture->messages(), expected);
}

TEST(LoggerTest, ReleaseWritesThePendingReportLast) {
  auto captured = make_captured_logger({LogPair{"run", 9}});
  ASSERT_NO_FATAL_FAILURE(stall_with_full_queue(captured));
  log_info(*captured.logger, "lost");
  log_info(*captured.logger, "lost");
  captured.capture->resume();
  ASSERT_TRUE(captured.capture->wait_for_lines(kLogQueueCapacity + 1));

  auto expected = blocker_and_queue();
  for (auto& line : expected)
    line += ", run: 9";
  expected.push_back(report_line(3));  // the release's report has no logger pairs
  EXPECT_EQ(captured.release(), expected);
}

TEST(LoggerTest, ReleaseWithAFullQueueWaitsForRoomForItsFinishMarker) {
  auto captured = make_captured_logger();
  ASSERT_NO_FATAL_FAILURE(stall_with_full_queue(captured));
  log_info(*captured.logger, "lost");

  // The release's report does not fit and is lost; the finish marker waits for room.
  auto releaser = Thread::start([&] { release_logger(std::move(captured.logger)); });
  ASSERT_TRUE(releaser.has_value()) << releaser.error().display_text();
  sleep_milliseconds(20);
  captured.capture->resume();
  releaser->join();
  EXPECT_EQ(captured.capture->messages(), blocker_and_queue());
}

TEST(LoggerTest, AFailedWriteEndsTheWorkerAndLaterRecordsCountAsDropped) {
  auto captured = make_captured_logger();
  captured.capture->fail_from(1, Error(IoError, "No space left on device", 28));
  testing::internal::CaptureStderr();
  log_info(*captured.logger, "written");
  ASSERT_TRUE(captured.capture->wait_for_lines(1));  // so that the next one is a write of its own
  log_info(*captured.logger, "fails");
  ASSERT_TRUE(captured.capture->wait_until_closed());
  const std::string error_output = testing::internal::GetCapturedStderr();
  EXPECT_EQ(error_output, "slog::Fuse Drain: No space left on device (os error 28)\n");

  log_info(*captured.logger, "dropped");
  EXPECT_EQ(dropped_count(*captured.logger), 1u);
  log_info(*captured.logger, "dropped");
  EXPECT_EQ(dropped_count(*captured.logger), 3u) << "the report cannot be queued either";
  EXPECT_EQ(captured.release(), std::vector<std::string>{"INFO written"});
}

TEST(LoggerTest, ALoggerDestroyedWithoutReleaseStillWritesItsRecords) {
  auto captured = make_captured_logger();
  log_info(*captured.logger, "one");
  log_info(*captured.logger, "two");
  captured.logger.reset();
  EXPECT_TRUE(captured.capture->closed());
  EXPECT_EQ(captured.capture->messages(), (std::vector<std::string>{"INFO one", "INFO two"}));
}

TEST(LoggerTest, ConcurrentCallersKeepTheirOrderAndLoseNothingUnreported) {
  auto captured = make_captured_logger();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::vector<Thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    auto thread = Thread::start([&, t] {
      for (int i = 0; i < kPerThread; ++i)
        log(*captured.logger, LogLevel::Info, "", {LogPair{"i", i}, LogPair{"t", t}});
    });
    ASSERT_TRUE(thread.has_value()) << thread.error().display_text();
    threads.push_back(std::move(*thread));
  }
  for (auto& thread : threads)
    thread.join();
  // The release's own report is lost when the queue is full, so first log until a call
  // finds room for its report and its record alike.
  uint64_t logged = kThreads * kPerThread;
  do {
    sleep_milliseconds(1);
    log_info(*captured.logger, "end");
    ++logged;
  } while (dropped_count(*captured.logger) != 0);
  const auto lines = captured.release();

  // Every record is either written, in its thread's order, or counted in a report.
  uint64_t written = 0;
  uint64_t reported = 0;
  int last_of_thread[kThreads] = {-1, -1, -1, -1};
  for (const auto& line : lines) {
    int t = 0;
    int i = 0;
    unsigned long long count = 0;
    if (line == "INFO end") {
      ++written;
    } else if (std::sscanf(line.c_str(), "INFO t: %d, i: %d", &t, &i) == 2) {
      ASSERT_TRUE(t >= 0 && t < kThreads) << line;
      EXPECT_GT(i, last_of_thread[t]) << line;
      last_of_thread[t] = i;
      ++written;
    } else if (line.starts_with(kReport) &&
               std::sscanf(line.c_str() + kReport.size(), ", count: %llu", &count) == 1) {
      reported += count;
    } else {
      ADD_FAILURE() << "unexpected line: " << line;
    }
  }
  // A report that finds the queue full counts itself as lost as well, so the reported counts
  // may exceed the callers' lost records, never fall short of them.
  EXPECT_GE(written + reported, logged);
  EXPECT_GT(written, 0u);
}

}  // namespace
}  // namespace vellicor
