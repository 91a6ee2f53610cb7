#include <cerrno>
#include <cstring>

#include "base/os_error.hpp"

namespace vellicor {

int last_os_error_code() {
  return errno;
}

void set_last_os_error_code(int code) {
  errno = code;
}

Result<std::string> os_error_text(int code) {
  char buffer[256] = {};
  // The GNU strerror_r may return a static text instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  if (text == nullptr || *text == '\0') return std::string(kUnknownOsError);
  return std::string(text);
}

std::span<const OsErrorRow> os_error_table() {
  // The codes that this program tells apart.
  static constexpr OsErrorRow kMeanings[] = {
      {ENOENT, OsErrorMeaning::NotFound},
      // The process's descriptors (EMFILE), the system's open files (ENFILE): only the hard limit
      // is left by then (the soft one is raised at start), and no wait gives one back.
      {EMFILE, OsErrorMeaning::OutOfHandles},
      {ENFILE, OsErrorMeaning::OutOfHandles},
      // "EROFS, EINVAL: fd is bound to a special file (e.g., a pipe, FIFO, or socket) which does
      // not support synchronization" (fsync(2)); ENOTSUP, "Operation not supported" (on Linux the
      // same number as EOPNOTSUPP, errno(3)), says so of a file system that has no sync.
      {EINVAL, OsErrorMeaning::NoFlushHere},
      {EROFS, OsErrorMeaning::NoFlushHere},
      {ENOTSUP, OsErrorMeaning::NoFlushHere},
  };
  return kMeanings;
}

}  // namespace vellicor
