#include <cerrno>
#include <cstring>

#include "base/os_error.hpp"

namespace vellicor {

Error os_io_error(int code) {
  char buffer[256] = {};
  // The GNU strerror_r may return a static text instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return Error(ErrorKind::Io, text ? text : "unknown error", code);
}

Error last_os_io_error() {
  return os_io_error(errno);
}

bool is_not_found(const Error& error) {
  return error.os_code() == ENOENT;
}

}  // namespace vellicor
