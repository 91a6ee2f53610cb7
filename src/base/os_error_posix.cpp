#include <cerrno>
#include <cstring>

#include "base/os_error.hpp"

namespace vellicor {

int last_os_error_code() {
  return errno;
}

Result<std::string> os_error_text(int code) {
  char buffer[256] = {};
  // The GNU strerror_r may return a static text instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  if (text == nullptr || *text == '\0') return std::string(kUnknownOsError);
  return std::string(text);
}

bool is_out_of_open_files(int code) {
  return code == EMFILE || code == ENFILE;
}

bool is_not_found(const Error& error) {
  return error.os_code() == ENOENT;
}

}  // namespace vellicor
