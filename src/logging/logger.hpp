#pragma once
// The asynchronous logger: calls queue records without waiting, one worker thread writes them
// as timestamped lines through a line sink (the run's log file).

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/error.hpp"

namespace vellicor {

enum class LogLevel { Critical, Error, Warning, Info, Debug, Trace };

// The four-letter name that a line carries: "CRIT", "ERRO", "WARN", "INFO", "DEBG", "TRCE".
std::string_view level_name(LogLevel level);

// Module paths of the records; a record keeps a view of its module, so modules are constants.
inline constexpr std::string_view kUpdaterModule = "vellicor_updater";
inline constexpr std::string_view kProcessModule = "vellicor_updater::process";

// Tag of the record that reports dropped records.
inline constexpr std::string_view kOverflowTag = "slog-async";
inline constexpr std::string_view kOverflowMessage =
    "slog-async: logger dropped messages due to channel overflow";

// Capacity of the queue between the callers and the worker.
inline constexpr size_t kLogQueueCapacity = 128;

// The value of a key-value pair, turned into its display text when the pair is made (on the
// caller's thread, so the worker only copies bytes).
class LogValue {
 public:
  LogValue(bool value) : text_(value ? "true" : "false") {}
  LogValue(char value) : text_(1, value) {}
  LogValue(char32_t value);  // written as its UTF-8 form
  template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char> && !std::same_as<T, char8_t> &&
           !std::same_as<T, char16_t> && !std::same_as<T, char32_t> && !std::same_as<T, wchar_t>)
      LogValue(T value) {
    if constexpr (std::is_signed_v<T>) {
      set_integer(static_cast<int64_t>(value));
    } else {
      set_unsigned(static_cast<uint64_t>(value));
    }
  }
  LogValue(double value);
  LogValue(float value);
  LogValue(std::string value) : text_(std::move(value)) {}
  LogValue(std::string_view value) : text_(value) {}
  LogValue(const char* value) : text_(value) {}
  // Any other pointer would silently become a boolean.
  template <class T>
  LogValue(const T*) = delete;
  // An absent value.
  LogValue(std::nullopt_t) : text_("None") {}
  template <class T>
  LogValue(const std::optional<T>& value) : LogValue(std::nullopt) {
    if (value) *this = LogValue(*value);
  }

  // The empty value, shown as "()".
  static LogValue empty() { return LogValue(std::string("()")); }
  // A value whose display text the caller has already made.
  static LogValue preformatted(std::string text) { return LogValue(std::move(text)); }

  const std::string& display() const { return text_; }

 private:
  void set_integer(int64_t value);
  void set_unsigned(uint64_t value);

  std::string text_;
};

struct LogPair {
  std::string key;
  LogValue value;
};

// One queued record. The location and the module travel with it though no line shows them.
struct LogRecord {
  LogLevel level = LogLevel::Info;
  std::string message;
  std::vector<LogPair> pairs{};  // in the order they were attached
  // The logger's own pairs; they live as long as the logger, and so outlive its records.
  const std::vector<LogPair>* logger_pairs = nullptr;
  std::string_view module = kUpdaterModule;
  std::source_location location{};
  std::string_view tag{};
};

// Appends the line of a record: timestamp, level, message, pairs (the record's own, then the
// logger's, each list last-attached first, ", " between anything written), line feed.
void append_log_line(std::string& out, std::string_view timestamp, const LogRecord& record);

// Where the worker writes: one call per batch of finished lines (line feeds included), which a
// sink writes whole, so that the file never holds part of a line followed by another.
class LineSink {
 public:
  virtual ~LineSink() = default;
  [[nodiscard]] virtual Status write_lines(std::string_view lines) = 0;
};

// A sink that keeps nothing: for code that logs as it does in an update where no log is kept.
class DiscardedLines final : public LineSink {
 public:
  Status write_lines(std::string_view) override { return {}; }
};

class Logger;  // opaque; owns the queue, the dropped counter, the worker thread and the sink

}  // namespace vellicor

// Lets std::unique_ptr<Logger> be destroyed where Logger is incomplete. Destroying a logger
// that was never released releases it.
template <>
struct std::default_delete<vellicor::Logger> {
  void operator()(vellicor::Logger* logger) const noexcept;
};

namespace vellicor {

// Starts the worker; the sink is owned by the logger (and closed when the worker ends).
// The program cannot run without its log: when no thread can be started it stops with
// "failed to spawn thread" and the system's reason.
std::unique_ptr<Logger> create_logger(std::unique_ptr<LineSink> sink);
// The same, with pairs that every record of the logger carries after its own.
std::unique_ptr<Logger> create_logger(std::unique_ptr<LineSink> sink,
                                      std::vector<LogPair> logger_pairs);
// Writes everything queued, stops the worker, closes the sink.
void release_logger(std::unique_ptr<Logger> logger);

// Never blocks, never fails. `module` and `location` are carried with the record, not written.
void log(Logger& logger, LogLevel level, std::string message,
         std::string_view module = kUpdaterModule,
         std::source_location location = std::source_location::current());
// A record with key-value pairs, given in the order they are attached.
void log(Logger& logger, LogLevel level, std::string message, std::vector<LogPair> pairs,
         std::string_view module = kUpdaterModule,
         std::source_location location = std::source_location::current());
void log_info(Logger& logger, std::string message, std::string_view module = kUpdaterModule,
              std::source_location location = std::source_location::current());
void log_warning(Logger& logger, std::string message, std::string_view module = kUpdaterModule,
                 std::source_location location = std::source_location::current());
void log_error(Logger& logger, std::string message, std::string_view module = kUpdaterModule,
               std::source_location location = std::source_location::current());

// Records lost to a full queue (or an ended worker) and not reported yet.
uint64_t dropped_count(const Logger& logger);

// The log file of a run, created if missing; an existing file keeps its lines and the new ones
// are appended, so that a second run in the same second never erases the log of the first.
// Shared for reading, writing and deletion (Windows); O_NOFOLLOW, mode 0600 (POSIX).
[[nodiscard]] Result<std::unique_ptr<LineSink>> create_log_file(std::string_view path);

}  // namespace vellicor
