#include "base/os_error.hpp"
#include "base/win32.hpp"

namespace vellicor {

Error os_io_error(int code) {
  std::string text = "unknown error";
  if (auto message = win32::format_system_message(static_cast<DWORD>(code))) {
    if (auto utf8 = win32::from_wide(*message)) text = std::move(*utf8);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return Error(ErrorKind::Io, std::move(text), code);
}

Error last_os_io_error() {
  return os_io_error(static_cast<int>(GetLastError()));
}

bool is_not_found(const Error& error) {
  return error.os_code() == ERROR_FILE_NOT_FOUND || error.os_code() == ERROR_PATH_NOT_FOUND;
}

}  // namespace vellicor
