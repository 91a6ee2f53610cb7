#pragma once
// Error values and Result: every fallible operation returns its value or one Error.

#include <expected>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vellicor {

// What an error is, and so how its display text begins. Each module defines its own kinds as
// constants beside the code that raises them (base's general, I/O and argument kinds are
// below); two errors are of the same kind when they refer to the same constant.
class ErrorKind {
 public:
  // Whether the kind's fixed text is followed by the error's message or stands alone.
  enum class Text { StartsMessage, StandsAlone };
  // Whether trying the step again may cure it (the default), or the error is final: nothing
  // that a retry does can undo what it reports.
  enum class Retry { MayHelp, Final };

  consteval ErrorKind(std::string_view name, std::string_view fixed_text,
                      Text text = Text::StartsMessage, Retry retry = Retry::MayHelp)
      : name_(name),
        fixed_text_(fixed_text),
        stands_alone_(text == Text::StandsAlone),
        final_(retry == Retry::Final) {}
  // A kind is known by its address: no copies.
  ErrorKind(const ErrorKind&) = delete;
  ErrorKind& operator=(const ErrorKind&) = delete;

  // The constant's name, for test output.
  std::string_view name() const { return name_; }
  std::string_view fixed_text() const { return fixed_text_; }
  bool stands_alone() const { return stands_alone_; }
  bool is_final() const { return final_; }

  friend bool operator==(const ErrorKind& a, const ErrorKind& b) { return &a == &b; }

 private:
  std::string_view name_;
  std::string_view fixed_text_;
  bool stands_alone_;
  bool final_;
};

// A general error: the message is the whole display text.
inline constexpr ErrorKind OtherError{"OtherError", ""};
// A platform I/O error: the system's text and its code, or a fixed text of the program's own.
inline constexpr ErrorKind IoError{"IoError", ""};
// The system could not write out what it had taken (fsync, syncfs, FlushFileBuffers): the data
// it held may be lost, and the system reports that once. A second flush that succeeds proves
// nothing (Linux clears the error once it has reported it), so the error is final.
inline constexpr ErrorKind FlushError{"FlushError", "", ErrorKind::Text::StartsMessage,
                                      ErrorKind::Retry::Final};
// The update's command line does not hold what it must.
inline constexpr ErrorKind ArgumentError{"ArgumentError", "Bad arguments: "};

class Error {
 public:
  Error(const ErrorKind& kind, std::string message, std::optional<int> os_code = std::nullopt)
      : kind_(&kind), message_(std::move(message)), os_code_(os_code) {}
  // Kinds are constants that outlive every error.
  Error(const ErrorKind&&, std::string, std::optional<int> = std::nullopt) = delete;

  const ErrorKind& kind() const { return *kind_; }
  const std::string& message() const { return message_; }
  // The platform's error code of an I/O error that came from a system call.
  std::optional<int> os_code() const { return os_code_; }

  // The one-line text that logs, message boxes and the dump show: the kind's fixed text, then
  // the message (unless the fixed text stands alone), then " (os error N)" when a system call
  // gave the error its code.
  std::string display_text() const;

  friend bool operator==(const Error&, const Error&) = default;

 private:
  const ErrorKind* kind_;
  std::string message_;
  std::optional<int> os_code_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = Result<void>;

inline std::unexpected<Error> fail(Error error) {
  return std::unexpected<Error>(std::move(error));
}
inline std::unexpected<Error> fail(const ErrorKind& kind, std::string message) {
  return std::unexpected<Error>(Error(kind, std::move(message)));
}
std::unexpected<Error> fail(const ErrorKind&&, std::string) = delete;
inline std::unexpected<Error> fail_other(std::string message) {
  return fail(OtherError, std::move(message));
}

// The same error with `prefix` before its message (its kind, and so whether it is final, and its
// code kept): what a caller adds, such as the path the error is about.
inline Error prefixed(std::string_view prefix, const Error& error) {
  return Error(error.kind(), std::string(prefix) + error.message(), error.os_code());
}

// Runs `operation` (which gives a Result) and turns a failure to get memory inside it into an
// error like any other, so that no exception ends the program.
inline constexpr const char* kOutOfMemory = "Out of memory";
template <class Operation>
auto without_memory_exhaustion(Operation&& operation) -> decltype(operation()) {
  try {
    return operation();
  } catch (const std::bad_alloc&) {
    return fail_other(kOutOfMemory);
  }
}

// The fixed texts of I/O failures that the program detects itself.
inline constexpr const char* kUnexpectedEof = "failed to fill whole buffer";
inline constexpr const char* kWriteZero = "failed to write whole buffer";
inline constexpr const char* kNotRegularFile = "not a regular file";

}  // namespace vellicor
