#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/file.hpp"
#include "base/os_error.hpp"
#include "base/simulated_failure.hpp"

namespace vellicor {
namespace {

// Large requests are split so that a single call never exceeds what read/write accept.
constexpr size_t kMaxChunk = size_t{1} << 30;

Result<int> open_path(std::string_view path, int flags) {
  const std::string terminated(path);
  int fd;
  do {
    fd = ::open(terminated.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(last_os_io_error());
  return fd;
}

}  // namespace

Result<File> File::open_for_reading(std::string_view path) {
  // Non-blocking, so that opening a FIFO does not wait for a writer; a regular file ignores
  // the flag.
  auto fd = open_path(path, O_RDONLY | O_NONBLOCK);
  if (!fd) return fail(fd.error());
  File file{Handle(*fd)};
  struct stat info {};
  if (::fstat(*fd, &info) != 0) return fail(last_os_io_error());
  if (!S_ISREG(info.st_mode)) return fail(Error(IoError, kNotRegularFile));
  return file;
}

Result<File> File::create_for_writing(std::string_view path) {
  auto fd = open_path(path, O_WRONLY | O_CREAT | O_TRUNC);
  if (!fd) return fail(fd.error());
  return File(Handle(*fd));
}

Result<File> File::create_new(std::string_view path) {
  // O_EXCL with O_CREAT refuses an existing name, a link included, without following it.
  auto fd = open_path(path, O_WRONLY | O_CREAT | O_EXCL);
  if (!fd) return fail(fd.error());
  return File(Handle(*fd));
}

Result<size_t> File::read(void* buffer, size_t size) {
  const size_t chunk = size < kMaxChunk ? size : kMaxChunk;
  for (;;) {
    const ssize_t got = ::read(static_cast<int>(handle_.get()), buffer, chunk);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) return fail(last_os_io_error());
  }
}

Result<size_t> File::write(const void* data, size_t size) {
  const size_t chunk = size < kMaxChunk ? size : kMaxChunk;
  for (;;) {
    const ssize_t put = ::write(static_cast<int>(handle_.get()), data, chunk);
    if (put >= 0) return static_cast<size_t>(put);
    if (errno != EINTR) return fail(last_os_io_error());
  }
}

Status File::seek(uint64_t offset) {
  if (::lseek(static_cast<int>(handle_.get()), static_cast<off_t>(offset), SEEK_SET) < 0) {
    return fail(last_os_io_error());
  }
  return {};
}

Result<uint64_t> File::position() {
  const off_t at = ::lseek(static_cast<int>(handle_.get()), 0, SEEK_CUR);
  if (at < 0) return fail(last_os_io_error());
  return static_cast<uint64_t>(at);
}

Result<uint64_t> File::size() {
  struct stat info {};
  if (::fstat(static_cast<int>(handle_.get()), &info) != 0) return fail(last_os_io_error());
  return static_cast<uint64_t>(info.st_size);
}

Status File::flush() {
  int result;
  do {
    result = fails_simulated(DurableCall::Flush) ? -1 : ::fsync(static_cast<int>(handle_.get()));
  } while (result != 0 && errno == EINTR);
  if (result != 0 && !flush_not_supported(errno)) return fail(last_os_flush_error());
  return {};
}

Status remove_file(std::string_view path) {
  const std::string terminated(path);
  if (fails_simulated(DurableCall::Unlink) || ::unlink(terminated.c_str()) != 0) {
    return fail(last_os_io_error());
  }
  return {};
}

Status remove_file_if_present(std::string_view path) {
  const std::string terminated(path);
  if ((fails_simulated(DurableCall::Unlink) || ::unlink(terminated.c_str()) != 0) &&
      errno != ENOENT) {
    return fail(last_os_io_error());
  }
  return {};
}

Status flush_directory(std::string_view path) {
  auto fd = open_path(path, O_RDONLY | O_DIRECTORY);
  if (!fd) return fail(fd.error());
  int result;
  do {
    result = fails_simulated(DurableCall::Flush) ? -1 : ::fsync(*fd);
  } while (result != 0 && errno == EINTR);
  const Status status =
      result == 0 || flush_not_supported(errno) ? Status{} : fail(last_os_flush_error());
  ::close(*fd);
  return status;
}

void raise_open_file_limit() {
  // Raising the soft limit takes no privilege ("an unprivileged process may set only its soft
  // limit to a value in the range from 0 up to the hard limit", getrlimit(2)); Go's runtime does
  // the same as every program starts. A failure leaves the limit as it was: the update then
  // stops once it runs out, as it would have.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  (void)setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace vellicor
