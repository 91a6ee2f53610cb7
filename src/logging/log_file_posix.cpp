#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/handle.hpp"
#include "base/os_error.hpp"
#include "logging/logger.hpp"

namespace vellicor {
namespace {

class FileLineSink final : public LineSink {
 public:
  explicit FileLineSink(int fd) : handle_(fd) {}

  Status write_lines(std::string_view lines) override {
    // One write for all the lines; a short write (a signal, a nearly full disk) goes on with
    // the rest, so the file never holds part of a line followed by another run's line.
    while (!lines.empty()) {
      const ssize_t written = ::write(static_cast<int>(handle_.get()), lines.data(), lines.size());
      if (written < 0) {
        if (errno == EINTR) continue;
        return fail(last_os_io_error());
      }
      if (written == 0) return fail(IoError, kWriteZero);
      lines.remove_prefix(static_cast<size_t>(written));
    }
    return {};
  }

 private:
  Handle handle_;
};

}  // namespace

Result<std::unique_ptr<LineSink>> create_log_file(std::string_view path) {
  const std::string terminated(path);
  if (terminated.find('\0') != std::string::npos) return fail(os_io_error(EINVAL));
  // The log lies in a shared temporary folder: never follow a link planted at its name, and
  // do not hang on a FIFO planted there (non-blocking until the file is known to be regular).
  int fd;
  do {
    fd = ::open(terminated.c_str(),
                O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(last_os_io_error());
  auto sink = std::make_unique<FileLineSink>(fd);

  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail(last_os_io_error());
  if (!S_ISREG(info.st_mode)) return fail(os_io_error(EINVAL));
  // A file that existed before keeps its mode; the log must still be private.
  if ((info.st_mode & 0077) != 0 && ::fchmod(fd, 0600) != 0) return fail(last_os_io_error());
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return fail(last_os_io_error());
  }
  return sink;
}

}  // namespace vellicor
