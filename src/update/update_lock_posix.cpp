#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/os_error.hpp"
#include "update/update_lock.hpp"

namespace vellicor {

// The lock is a flock on the root folder itself: the same folder however its path is spelled,
// and released by the kernel when the descriptor's process ends.
Result<std::optional<UpdateLock>> UpdateLock::try_take(std::string_view root) {
  const std::string terminated(root);
  const int fd = ::open(terminated.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return fail(last_os_io_error());
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    ::close(fd);
    if (code == EWOULDBLOCK) return std::optional<UpdateLock>();
    return fail(os_io_error(code));
  }
  return std::optional(UpdateLock(Handle(fd)));
}

// Closing the descriptor releases the lock.
UpdateLock::~UpdateLock() = default;

}  // namespace vellicor
