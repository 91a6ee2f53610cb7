#pragma once
// Error values and Result: every fallible operation returns its value or one Error.

#include <expected>
#include <new>
#include <optional>
#include <string>
#include <utility>

namespace vellicor {

enum class ErrorKind {
  Other,         // a general error: the message is the whole display text
  Io,            // a platform I/O error: system text + " (os error N)", or a fixed text
  Argument,      // "Bad arguments: " + message
  HeaderParse,   // "Header parse error: " + message
  HeaderWrite,   // "Header write error: " + message
  FileRecParse,  // "FileRec parse error: " + message
  FileRecWrite,  // "FileRec write error: " + message
  StringDecode,  // "String decode error: " + message
  Rebase,        // "Rebase error", no message of its own
};

class Error {
 public:
  Error(ErrorKind kind, std::string message, std::optional<int> os_code = std::nullopt)
      : kind_(kind), message_(std::move(message)), os_code_(os_code) {}

  ErrorKind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  // The platform's error code of an I/O error that came from a system call.
  std::optional<int> os_code() const { return os_code_; }

  // The one-line text that logs, message boxes and the dump show.
  std::string display_text() const;

  friend bool operator==(const Error&, const Error&) = default;

 private:
  ErrorKind kind_;
  std::string message_;
  std::optional<int> os_code_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = Result<void>;

inline std::unexpected<Error> fail(Error error) {
  return std::unexpected<Error>(std::move(error));
}
inline std::unexpected<Error> fail(ErrorKind kind, std::string message) {
  return std::unexpected<Error>(Error(kind, std::move(message)));
}
inline std::unexpected<Error> fail_other(std::string message) {
  return fail(ErrorKind::Other, std::move(message));
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
