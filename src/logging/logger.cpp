#include "logging/logger.hpp"

#include <array>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <type_traits>

#include "base/clock.hpp"
#include "base/console.hpp"
#include "base/sleep.hpp"
#include "base/thread.hpp"
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

// Bounded first-in-first-out queue between the logging threads and the worker, without a
// lock, so that a caller never waits for the worker (which may be descheduled at any point):
// a slot's sequence number says whose turn it is, the producers' turn (its position) or the
// worker's (its position + 1). A producer wakes the worker only when the worker has announced
// that it sleeps. Once the worker has ended the queue counts as full.
class LogQueue {
 public:
  LogQueue() {
    for (size_t i = 0; i < kLogQueueCapacity; ++i)
      slots_[i].sequence.store(i, std::memory_order_relaxed);
  }

  // False when the queue is full or closed; the record is then left to the caller to drop.
  bool try_push(LogRecord& record) { return push(&record); }

  // Waits for room; false when the worker has ended before there was any.
  bool push_finish_marker() {
    for (int attempt = 0;; ++attempt) {
      if (push(nullptr)) return true;
      if (closed_.load(std::memory_order_acquire)) return false;
      if (attempt < 100) {
        yield_thread();
      } else {
        sleep_milliseconds(1);
      }
    }
  }

  // Worker only: waits for the next entry; false for the finish marker.
  bool take(LogRecord& out) {
    for (int idle = 0;; ++idle) {
      Taken taken = try_take(out);
      if (taken != Taken::Nothing) return taken == Taken::Record;
      // Callers usually log in bursts: giving the processor away a few times before going
      // to sleep saves them the system call that wakes a sleeping worker, which would
      // otherwise be paid on nearly every call when the two threads share one processor.
      if (idle < kIdleYields) {
        yield_thread();
        continue;
      }
      idle = 0;
      worker_sleeps_.store(true, std::memory_order_relaxed);
      // Pairs with the fence in push: either the producer sees that the worker sleeps, or
      // the worker sees the producer's entry.
      std::atomic_thread_fence(std::memory_order_seq_cst);
      taken = try_take(out);
      if (taken != Taken::Nothing) {
        worker_sleeps_.store(false, std::memory_order_relaxed);
        return taken == Taken::Record;
      }
      MutexLock lock(wake_mutex_);
      woken_.wait(wake_mutex_, [&] { return wake_pending_; });
      wake_pending_ = false;
      worker_sleeps_.store(false, std::memory_order_relaxed);
    }
  }

  enum class Taken { Nothing, Record, Finish };

  // Worker only: the next entry if there is one, without waiting.
  Taken poll(LogRecord& out) { return try_take(out); }

  // How many entries the worker has taken so far: it moves while the worker writes.
  size_t taken() const { return head_.load(std::memory_order_relaxed); }

  // Called by the worker as it ends. A record queued at that very moment stays unread and
  // uncounted, like everything still queued; nothing is written after this anyway.
  void close() { closed_.store(true, std::memory_order_release); }

 private:
  static constexpr int kIdleYields = 64;

  struct Slot {
    std::atomic<size_t> sequence{0};
    bool finish = false;
    LogRecord record;
  };

  // Puts a record, or the finish marker for nullptr, without waiting.
  bool push(LogRecord* record) {
    if (closed_.load(std::memory_order_acquire)) return false;
    size_t position = tail_.load(std::memory_order_relaxed);
    Slot* slot;
    for (;;) {
      slot = &slots_[position % kLogQueueCapacity];
      const size_t sequence = slot->sequence.load(std::memory_order_acquire);
      const auto lead = static_cast<std::make_signed_t<size_t>>(sequence - position);
      if (lead == 0) {
        if (tail_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) break;
      } else if (lead < 0) {
        return false;  // the slot still holds an entry from a lap ago: full
      } else {
        position = tail_.load(std::memory_order_relaxed);
      }
    }
    slot->finish = record == nullptr;
    if (record != nullptr) slot->record = std::move(*record);
    slot->sequence.store(position + 1, std::memory_order_release);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    // Only the first caller to find the worker asleep wakes it.
    if (worker_sleeps_.load(std::memory_order_relaxed) &&
        worker_sleeps_.exchange(false, std::memory_order_relaxed)) {
      {
        MutexLock lock(wake_mutex_);
        wake_pending_ = true;
      }
      woken_.notify_one();
    }
    return true;
  }

  Taken try_take(LogRecord& out) {
    const size_t head = head_.load(std::memory_order_relaxed);
    Slot& slot = slots_[head % kLogQueueCapacity];
    if (slot.sequence.load(std::memory_order_acquire) != head + 1) return Taken::Nothing;
    const bool finish = slot.finish;
    if (!finish) out = std::move(slot.record);
    slot.sequence.store(head + kLogQueueCapacity, std::memory_order_release);
    head_.store(head + 1, std::memory_order_relaxed);
    return finish ? Taken::Finish : Taken::Record;
  }

  std::array<Slot, kLogQueueCapacity> slots_;
  std::atomic<size_t> tail_{0};
  std::atomic<size_t> head_{0};  // written by the worker alone
  std::atomic<bool> closed_{false};
  std::atomic<bool> worker_sleeps_{false};
  // Only a sleeping worker is woken, so callers rarely touch this lock, and never wait long
  // for it: the worker holds it only to go to sleep or to wake up. (std::atomic::wait would
  // do without a lock, but under the Windows build's C++ library it missed wake-ups.)
  Mutex wake_mutex_;
  ConditionVariable woken_;
  bool wake_pending_ = false;
};

// The most that one write carries: whatever was queued when the worker woke, up to this.
constexpr size_t kBatchBytes = 64 * 1024;

void run_worker(LogQueue& queue, std::unique_ptr<LineSink> sink) {
  try {
    std::string batch;
    LogRecord record;
    bool finished = !queue.take(record);
    while (!finished) {
      // Everything queued by now goes out in one write, each line whole and in call order, so
      // that the worker keeps up with callers that log in bursts.
      batch.clear();
      for (;;) {
        // The time of writing, not of the call: under load a line may be stamped later than
        // its event, but lines stay in call order.
        const auto now = local_time_now();
        if (!now) {
          write_stderr(now.error().display_text() + "\n");
          finished = true;
          break;
        }
        append_timestamp(batch, *now);
        append_line_body(batch, record);
        if (batch.size() >= kBatchBytes) break;
        const auto next = queue.poll(record);
        if (next == LogQueue::Taken::Nothing) break;
        if (next == LogQueue::Taken::Finish) {
          finished = true;
          break;
        }
      }
      if (!batch.empty()) {
        if (const auto written = sink->write_lines(batch); !written) {
          write_stderr("slog::Fuse Drain: " + written.error().display_text() + "\n");
          break;
        }
      }
      if (!finished) finished = !queue.take(record);
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
    auto worker = Thread::start(
        [this, sink = std::move(sink)]() mutable { run_worker(queue_, std::move(sink)); });
    if (!worker) stop_program("failed to spawn thread: " + worker.error().message());
    worker_ = std::move(*worker);
  }
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;
  ~Logger() { release(); }

  void submit(LogRecord&& record) {
    try {
      report_drops(logger_pairs_.empty() ? nullptr : &logger_pairs_);
      record.logger_pairs = logger_pairs_.empty() ? nullptr : &logger_pairs_;
      if (!queue_.try_push(record) && !wait_for_room(record)) dropped_.fetch_add(1);
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

  // A full queue most often means a worker that has not had a processor for a moment (a
  // burst of calls, a busy machine). The caller then gives up the processor and waits for room,
  // a little: a worker that takes nothing in that time has truly stalled (a full disk, a hung
  // network drive), the record is dropped and counted, and while the worker stays where it
  // stalled later records are dropped at once, so that no call waits on a stalled disk again.
  bool wait_for_room(LogRecord& record) {
    const size_t progress = queue_.taken();
    if (stalled_at_.load(std::memory_order_relaxed) == progress) return false;
    const uint64_t deadline = steady_microseconds() + kRoomWaitMicroseconds;
    for (int attempt = 0;; ++attempt) {
      if (attempt < 64) {
        yield_thread();
      } else {
        sleep_microseconds(200);
      }
      if (queue_.try_push(record)) return true;
      if (steady_microseconds() >= deadline) {
        stalled_at_.store(queue_.taken(), std::memory_order_relaxed);
        return false;
      }
    }
  }

  static constexpr uint64_t kRoomWaitMicroseconds = 100'000;
  static constexpr size_t kNotStalled = SIZE_MAX;

  std::vector<LogPair> logger_pairs_;
  LogQueue queue_;
  std::atomic<uint64_t> dropped_{0};
  std::atomic<size_t> stalled_at_{kNotStalled};
  Thread worker_;
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
  log(logger, level, std::move(message), {}, module, location);
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
