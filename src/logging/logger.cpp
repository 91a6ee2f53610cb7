#include "logging/logger.hpp"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/console.hpp"
#include "logging/timestamp.hpp"

namespace vellicor {
namespace {

// Hands each text of a line after its timestamp to `piece`, in order: level, message, pairs
// (the record's own, then the logger's, each list last-attached first) and the line feed.
template <class Piece>
void for_each_body_piece(const LogRecord& record, Piece&& piece) {
  piece(" ");
  piece(level_name(record.level));
  piece(" ");
  piece(record.message);
  bool wrote_something = !record.message.empty();
  const auto pairs_of = [&](const std::vector<LogPair>& pairs) {
    for (auto pair = pairs.rbegin(); pair != pairs.rend(); ++pair) {
      if (wrote_something) piece(", ");
      piece(pair->key);
      piece(": ");
      piece(pair->value.display());
      wrote_something = true;
    }
  };
  pairs_of(record.pairs);
  if (record.logger_pairs) pairs_of(*record.logger_pairs);
  piece("\n");
}

void append_line_body(std::string& out, const LogRecord& record) {
  // Measured first, so the line grows once.
  size_t length = 0;
  for_each_body_piece(record, [&](std::string_view text) { length += text.size(); });
  size_t at = out.size();
  out.resize(at + length);
  for_each_body_piece(record, [&](std::string_view text) {
    text.copy(out.data() + at, text.size());
    at += text.size();
  });
}

[[noreturn]] void stop_program(std::string_view message) {
  write_stderr(std::string(message) + "\n");
  std::abort();
}

// Bounded first-in-first-out queue between the logging threads and the worker. Records go in
// without waiting; the finish marker waits for room; the worker waits for entries. Once the
// worker has ended the queue is closed and counts as full for good.
class LogQueue {
 public:
  // False when the queue is full or closed; the record is then left to the caller to drop.
  bool try_push(LogRecord& record) {
    bool wake_worker;
    {
      std::lock_guard lock(mutex_);
      if (closed_ || count_ == kLogQueueCapacity) return false;
      slots_[(head_ + count_) % kLogQueueCapacity] = Slot{std::move(record), false};
      ++count_;
      wake_worker = worker_waiting_;
    }
    if (wake_worker) has_entry_.notify_one();
    return true;
  }

  // False when the worker has ended, before or while waiting for room.
  bool push_finish_marker() {
    std::unique_lock lock(mutex_);
    has_room_.wait(lock, [&] { return closed_ || count_ < kLogQueueCapacity; });
    if (closed_) return false;
    slots_[(head_ + count_) % kLogQueueCapacity] = Slot{LogRecord{}, true};
    ++count_;
    if (worker_waiting_) has_entry_.notify_one();
    return true;
  }

  // The next record, or nothing for the finish marker.
  std::optional<LogRecord> pop() {
    std::unique_lock lock(mutex_);
    worker_waiting_ = true;
    has_entry_.wait(lock, [&] { return count_ > 0; });
    worker_waiting_ = false;
    Slot& slot = slots_[head_];
    head_ = (head_ + 1) % kLogQueueCapacity;
    --count_;
    // Only the finish marker waits for room, so one waiter at most.
    has_room_.notify_one();
    if (slot.finish) return std::nullopt;
    return std::move(slot.record);
  }

  // Called by the worker as it ends: what is still queued will never be written.
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (auto& slot : slots_)
      slot = Slot{};
    count_ = 0;
    has_room_.notify_all();
  }

 private:
  struct Slot {
    LogRecord record;
    bool finish = false;
  };

  std::mutex mutex_;
  std::condition_variable has_entry_;
  std::condition_variable has_room_;
  std::array<Slot, kLogQueueCapacity> slots_;
  size_t head_ = 0;
  size_t count_ = 0;
  bool closed_ = false;
  bool worker_waiting_ = false;
};

void run_worker(LogQueue& queue, std::unique_ptr<LineSink> sink) {
  try {
    std::string line;
    while (auto record = queue.pop()) {
      // The time of writing, not of the call: under load a line may be stamped later than
      // its event, but lines stay in call order.
      const auto now = local_time_now();
      if (!now) {
        write_stderr(now.error().display_text() + "\n");
        break;
      }
      // The line is built whole and handed over in one write, so no reader ever sees a line
      // from this file cut in the middle by a failure.
      line.clear();
      append_timestamp(line, *now);
      append_line_body(line, *record);
      if (const auto written = sink->write_line(line); !written) {
        write_stderr("slog::Fuse Drain: " + written.error().display_text() + "\n");
        break;
      }
    }
  } catch (...) {
    // An abnormal end of the worker ("Logging thread worker join error") is not reported
    // anywhere: the update goes on without its log.
  }
  queue.close();
  sink.reset();
}

}  // namespace

class Logger {
 public:
  Logger(std::unique_ptr<LineSink> sink, std::vector<LogPair> logger_pairs)
      : logger_pairs_(std::move(logger_pairs)) {
    try {
      worker_ = std::thread(
          [this, sink = std::move(sink)]() mutable { run_worker(queue_, std::move(sink)); });
    } catch (const std::system_error& error) {
      stop_program(std::string("failed to spawn thread: ") + error.what());
    }
  }
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;
  ~Logger() { release(); }

  void submit(LogRecord&& record) {
    try {
      report_drops(logger_pairs_.empty() ? nullptr : &logger_pairs_);
      record.logger_pairs = logger_pairs_.empty() ? nullptr : &logger_pairs_;
      if (!queue_.try_push(record)) dropped_.fetch_add(1);
    } catch (const std::exception& error) {
      stop_program(std::string("slog::Fuse Drain: ") + error.what());
    }
  }

  void release() {
    if (!worker_.joinable()) return;
    try {
      report_drops(nullptr);
      queue_.push_finish_marker();
      worker_.join();
    } catch (...) {
      // Nothing is reported for a worker that cannot be joined.
    }
  }

  uint64_t dropped() const { return dropped_.load(); }

 private:
  void report_drops(const std::vector<LogPair>* logger_pairs) {
    // A plain read first: the exchange, which takes the count, only runs when there is one.
    if (dropped_.load(std::memory_order_relaxed) == 0) return;
    const uint64_t pending = dropped_.exchange(0);
    if (pending == 0) return;
    LogRecord report{.level = LogLevel::Error,
                     .message = std::string(kOverflowMessage),
                     .pairs = {LogPair{"count", LogValue(pending)}},
                     .logger_pairs = logger_pairs,
                     .module = kUpdaterModule,
                     .location = std::source_location::current(),
                     .tag = kOverflowTag};
    // The report itself is lost too when it does not fit.
    if (!queue_.try_push(report)) dropped_.fetch_add(pending + 1);
  }

  std::vector<LogPair> logger_pairs_;
  LogQueue queue_;
  std::atomic<uint64_t> dropped_{0};
  std::thread worker_;
};

std::string_view level_name(LogLevel level) {
  switch (level) {
    case LogLevel::Critical:
      return "CRIT";
    case LogLevel::Error:
      return "ERRO";
    case LogLevel::Warning:
      return "WARN";
    case LogLevel::Info:
      return "INFO";
    case LogLevel::Debug:
      return "DEBG";
    case LogLevel::Trace:
      return "TRCE";
  }
  return "????";
}

void append_log_line(std::string& out, std::string_view timestamp, const LogRecord& record) {
  out.append(timestamp);
  append_line_body(out, record);
}

std::unique_ptr<Logger> create_logger(std::unique_ptr<LineSink> sink) {
  return create_logger(std::move(sink), {});
}

std::unique_ptr<Logger> create_logger(std::unique_ptr<LineSink> sink,
                                      std::vector<LogPair> logger_pairs) {
  return std::unique_ptr<Logger>(new Logger(std::move(sink), std::move(logger_pairs)));
}

void release_logger(std::unique_ptr<Logger> logger) {
  if (logger) logger->release();
}

void log(Logger& logger, LogLevel level, std::string message, std::string_view module,
         std::source_location location) {
  logger.submit(LogRecord{.level = level,
                          .message = std::move(message),
                          .pairs = {},
                          .logger_pairs = nullptr,
                          .module = module,
                          .location = location,
                          .tag = {}});
}

void log(Logger& logger, LogLevel level, std::string message, std::vector<LogPair> pairs,
         std::string_view module, std::source_location location) {
  logger.submit(LogRecord{.level = level,
                          .message = std::move(message),
                          .pairs = std::move(pairs),
                          .logger_pairs = nullptr,
                          .module = module,
                          .location = location,
                          .tag = {}});
}

void log_info(Logger& logger, std::string message, std::string_view module,
              std::source_location location) {
  log(logger, LogLevel::Info, std::move(message), module, location);
}

void log_warning(Logger& logger, std::string message, std::string_view module,
                 std::source_location location) {
  log(logger, LogLevel::Warning, std::move(message), module, location);
}

void log_error(Logger& logger, std::string message, std::string_view module,
               std::source_location location) {
  log(logger, LogLevel::Error, std::move(message), module, location);
}

uint64_t dropped_count(const Logger& logger) {
  return logger.dropped();
}

}  // namespace vellicor

void std::default_delete<vellicor::Logger>::operator()(vellicor::Logger* logger) const noexcept {
  delete logger;
}
