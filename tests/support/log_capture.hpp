#pragma once
// A logger over an in-memory line sink, for tests of code that logs: the lines it wrote, with
// or without their timestamps, and a way to stall or fail its worker.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/clock.hpp"
#include "base/error.hpp"
#include "base/thread.hpp"
#include "logging/logger.hpp"
#include "logging/timestamp.hpp"

namespace vellicor::testing_support {

using namespace std::chrono_literals;

// True when the text starts like "Mar 05 14:02:07.093 ".
inline bool starts_with_timestamp(std::string_view line) {
  constexpr std::string_view kShape = "Aaa 00 00:00:00.000 ";
  static_assert(kShape.size() == kTimestampLength + 1);
  if (line.size() < kShape.size()) return false;
  for (size_t i = 0; i < kShape.size(); ++i) {
    const char c = line[i];
    const char shape = kShape[i];
    const bool fits = shape == '0'   ? (c >= '0' && c <= '9')
                      : shape == 'A' ? (c >= 'A' && c <= 'Z')
                      : shape == 'a' ? (c >= 'a' && c <= 'z')
                                     : c == shape;
    if (!fits) return false;
  }
  return true;
}

// A written line without its timestamp and its final line feed ("INFO Update was successful!").
// A line that does not start with a timestamp is kept whole, so that a comparison shows it.
inline std::string strip_timestamp(std::string_view line) {
  if (!starts_with_timestamp(line)) return std::string(line);
  line.remove_prefix(kTimestampLength + 1);
  if (line.ends_with('\n')) line.remove_suffix(1);
  return std::string(line);
}

// What a CaptureSink received, shared by the test and the logger's worker thread.
class LogCapture {
 public:
  // The lines as written: timestamp, level, message, pairs and line feed.
  std::vector<std::string> lines() const {
    MutexLock lock(mutex_);
    return lines_;
  }

  // The lines without timestamps and line feeds.
  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const auto& line : lines())
      out.push_back(strip_timestamp(line));
    return out;
  }

  // Waits until at least `count` lines were written; false when that takes longer than the
  // timeout (a hang in the code under test, not a matter of speed).
  bool wait_for_lines(size_t count, std::chrono::milliseconds timeout = 20s) const {
    MutexLock lock(mutex_);
    return wait_until(timeout, [&] { return lines_.size() >= count; });
  }

  // From now on the worker blocks in its next write until resume(): the record it holds is
  // out of the queue, so the queue's whole capacity is left for the test to fill.
  void stall() {
    MutexLock lock(mutex_);
    stall_ = true;
  }
  // Waits until the worker is blocked in a write.
  bool wait_until_stalled(std::chrono::milliseconds timeout = 20s) const {
    MutexLock lock(mutex_);
    return wait_until(timeout, [&] { return stalled_; });
  }
  void resume() {
    MutexLock lock(mutex_);
    stall_ = false;
    changed_.notify_all();
  }

  // The write number `index` (counted from 0) and every later one fail with `error`.
  void fail_from(size_t index, Error error) {
    MutexLock lock(mutex_);
    fail_from_ = index;
    failure_ = std::move(error);
  }

  // True once the logger has closed its sink.
  bool closed() const {
    MutexLock lock(mutex_);
    return closed_;
  }
  bool wait_until_closed(std::chrono::milliseconds timeout = 20s) const {
    MutexLock lock(mutex_);
    return wait_until(timeout, [&] { return closed_; });
  }

 private:
  friend class CaptureSink;

  // With mutex_ held: waits until `done` holds, at most `timeout` on the steady clock; false
  // when the time ran out first.
  template <class Predicate>
  bool wait_until(std::chrono::milliseconds timeout, Predicate done) const {
    const uint64_t deadline = steady_microseconds() + static_cast<uint64_t>(timeout.count()) * 1000;
    while (!done()) {
      const uint64_t now = steady_microseconds();
      if (now >= deadline) return false;
      changed_.wait_for(mutex_, static_cast<uint32_t>((deadline - now + 999) / 1000));
    }
    return true;
  }

  Status write(std::string_view line) {
    MutexLock lock(mutex_);
    while (stall_) {
      stalled_ = true;
      changed_.notify_all();
      changed_.wait(mutex_);
    }
    stalled_ = false;
    if (fail_from_ && attempts_++ >= *fail_from_) return fail(*failure_);
    // A write carries one or more records; a record's message may hold line feeds, but only
    // its first line starts with a timestamp.
    size_t start = 0;
    for (size_t end = line.find('\n'); end != std::string_view::npos;
         end = line.find('\n', end + 1)) {
      if (end + 1 == line.size() || starts_with_timestamp(line.substr(end + 1))) {
        lines_.emplace_back(line.substr(start, end + 1 - start));
        start = end + 1;
      }
    }
    if (start < line.size()) lines_.emplace_back(line.substr(start));
    changed_.notify_all();
    return {};
  }

  void close() {
    MutexLock lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }

  mutable Mutex mutex_;
  mutable ConditionVariable changed_;
  std::vector<std::string> lines_;
  bool stall_ = false;
  bool stalled_ = false;
  bool closed_ = false;
  size_t attempts_ = 0;
  std::optional<size_t> fail_from_;
  std::optional<Error> failure_;
};

class CaptureSink final : public LineSink {
 public:
  explicit CaptureSink(std::shared_ptr<LogCapture> capture) : capture_(std::move(capture)) {}
  ~CaptureSink() override { capture_->close(); }
  Status write_lines(std::string_view line) override { return capture_->write(line); }

 private:
  std::shared_ptr<LogCapture> capture_;
};

struct CapturedLogger {
  std::shared_ptr<LogCapture> capture;
  std::unique_ptr<Logger> logger;

  // Releases the logger, which writes everything queued, and gives the lines without
  // timestamps.
  std::vector<std::string> release() {
    release_logger(std::move(logger));
    return capture->messages();
  }
};

inline CapturedLogger make_captured_logger(std::vector<LogPair> logger_pairs = {}) {
  auto capture = std::make_shared<LogCapture>();
  auto logger = create_logger(std::make_unique<CaptureSink>(capture), std::move(logger_pairs));
  return CapturedLogger{std::move(capture), std::move(logger)};
}

}  // namespace vellicor::testing_support
