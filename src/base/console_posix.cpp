#include <unistd.h>

#include <cerrno>

#include "base/console.hpp"

namespace vellicor {
namespace {

void write_fd(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text.remove_prefix(static_cast<size_t>(written));
  }
}

}  // namespace

void write_stdout(std::string_view text) {
  write_fd(STDOUT_FILENO, text);
}
void write_stderr(std::string_view text) {
  write_fd(STDERR_FILENO, text);
}
bool stderr_is_terminal() {
  return isatty(STDERR_FILENO) == 1;
}

}  // namespace vellicor
