#include "base/os_error.hpp"

#include "base/file.hpp"

namespace vellicor {

OsErrorMeaning os_error_meaning(int code) {
  for (const OsErrorRow& row : os_error_table()) {
    if (row.code == code) return row.meaning;
  }
  return OsErrorMeaning::Other;
}

bool is_out_of_open_files(int code) {
  return os_error_meaning(code) == OsErrorMeaning::OutOfHandles;
}

bool is_not_found(const Error& error) {
  return error.os_code() && os_error_meaning(*error.os_code()) == OsErrorMeaning::NotFound;
}

bool flush_not_supported(int code) {
  return os_error_meaning(code) == OsErrorMeaning::NoFlushHere;
}

Error os_io_error(int code) {
  auto text = os_error_text(code);
  std::string message = text ? std::move(*text) : std::string(kUnknownOsError);
  // The code follows the text on the same line.
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  return Error(is_out_of_open_files(code) ? TooManyOpenFilesError : IoError, std::move(message),
               code);
}

Error last_os_io_error() {
  return os_io_error(last_os_error_code());
}

Result<std::string> last_os_error_text() {
  return os_error_text(last_os_error_code());
}

Error error_with_os_text(std::string_view prefix) {
  const int code = last_os_error_code();
  auto text = os_error_text(code);
  if (!text) return text.error();
  return Error(is_out_of_open_files(code) ? TooManyOpenFilesError : OtherError,
               std::string(prefix) + *text);
}

Error last_os_flush_error() {
  const Error error = last_os_io_error();
  return Error(FlushError, error.message(), error.os_code());
}

Error flush_error_with_os_text(std::string_view prefix) {
  const Error error = error_with_os_text(prefix);
  return Error(FlushError, error.message(), error.os_code());
}

}  // namespace vellicor
