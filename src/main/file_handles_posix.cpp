#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "main/file_handles.hpp"
#include "process/process.hpp"

namespace vellicor {

namespace {

// A write lease is refused while any other open of the file exists, which is the analogue of a
// sharing violation. While it is held, another process's open waits and the kernel signals the
// holder with SIGIO, whose default action would end this process: ignore it.
void ignore_lease_breaks() {
  static std::once_flag once;
  std::call_once(once, [] { signal(SIGIO, SIG_IGN); });
}

Error error_with_errno(int code, const char* prefix) {
  errno = code;
  return error_with_os_text(prefix);
}

}  // namespace

Result<FileHandle> open_file_handle(std::string_view path) {
  ignore_lease_breaks();
  const std::string terminated(path);
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  const int fd = open(terminated.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return fail(error_with_os_text("Failed to create file handle: "));
  struct stat info {};
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    const int code = S_ISDIR(info.st_mode) ? EISDIR : errno;
    close(fd);
    return fail(error_with_errno(code, "Failed to create file handle: "));
  }
  // File systems without leases (EINVAL) still give the handle, without the exclusion.
  if (fcntl(fd, F_SETLEASE, F_WRLCK) != 0 && errno != EINVAL) {
    const int code = errno;
    close(fd);
    return fail(error_with_errno(code, "Failed to create file handle: "));
  }
  return FileHandle{fd, terminated, false};
}

Status mark_for_deletion(FileHandle& handle) {
  handle.marked = true;
  return {};
}

Status close_file_handle(FileHandle& handle) {
  const int fd = static_cast<int>(handle.os_handle);
  if (handle.marked) {
    // Delete the path only while it still names the file this handle holds.
    struct stat held {
    }, named{};
    if (fstat(fd, &held) == 0 && lstat(handle.path.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino &&
        unlink(handle.path.c_str()) != 0) {
      return fail(error_with_os_text("Failed to close file handle: "));
    }
    handle.marked = false;
  }
  if (close(fd) != 0) return fail(error_with_os_text("Failed to close file handle: "));
  handle.os_handle = -1;
  return {};
}

}  // namespace vellicor
