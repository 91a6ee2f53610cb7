#include <unistd.h>

#include <cerrno>

#include "base/handle.hpp"
#include "base/os_error.hpp"

namespace vellicor {

bool Handle::valid() const {
  return native_ >= 0;
}

void Handle::reset() {
  if (valid()) ::close(static_cast<int>(native_));
  native_ = kNone;
}

Status Handle::close() {
  const Native native = release();
  // The descriptor is gone even when close reports EINTR, so it is never retried.
  if (native >= 0 && ::close(static_cast<int>(native)) != 0 && errno != EINTR) {
    return fail(last_os_io_error());
  }
  return {};
}

}  // namespace vellicor
