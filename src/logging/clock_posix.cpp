#include <time.h>

#include <cerrno>

#include "base/os_error.hpp"
#include "logging/timestamp.hpp"

namespace vellicor {

Result<LocalTime> local_time_at(int64_t unix_seconds, uint32_t nanoseconds) {
  const time_t seconds = static_cast<time_t>(unix_seconds);
  tm local{};
  errno = 0;
  if (static_cast<int64_t>(seconds) != unix_seconds || localtime_r(&seconds, &local) == nullptr) {
    const int code = errno != 0 ? errno : EOVERFLOW;
    return fail_other("localtime_r failed with: " + os_io_error(code).display_text());
  }
  return LocalTime{local.tm_mon + 1, local.tm_mday, local.tm_hour,
                   local.tm_min,     local.tm_sec,  nanoseconds};
}

Result<LocalTime> local_time_now() {
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
    return fail_other("clock_gettime failed with: " + last_os_io_error().display_text());
  }
  return local_time_at(now.tv_sec, static_cast<uint32_t>(now.tv_nsec));
}

}  // namespace vellicor
