#include <limits>

#include "base/os_error.hpp"
#include "base/win32.hpp"
#include "logging/timestamp.hpp"

namespace vellicor {
namespace {

constexpr uint64_t kTicksPerSecond = 10000000;  // FILETIME counts 100-nanosecond intervals
constexpr int64_t kSecondsFrom1601To1970 = 11644473600;

Result<LocalTime> local_time_from_ticks(uint64_t ticks) {
  const auto nanoseconds = static_cast<uint32_t>(ticks % kTicksPerSecond * 100);
  // Only the whole seconds go through the conversion; the fraction is taken from the ticks.
  const uint64_t whole = ticks - ticks % kTicksPerSecond;
  FILETIME file_time;
  file_time.dwLowDateTime = static_cast<DWORD>(whole);
  file_time.dwHighDateTime = static_cast<DWORD>(whole >> 32);
  SYSTEMTIME utc{};
  if (!FileTimeToSystemTime(&file_time, &utc)) {
    return fail_other("FileTimeToSystemTime failed with: " + last_os_io_error().display_text());
  }
  SYSTEMTIME local{};
  if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
    return fail_other("SystemTimeToTzSpecificLocalTime failed with: " +
                      last_os_io_error().display_text());
  }
  return LocalTime{local.wMonth,  local.wDay,    local.wHour,
                   local.wMinute, local.wSecond, nanoseconds};
}

}  // namespace

Result<LocalTime> local_time_at(int64_t unix_seconds, uint32_t nanoseconds) {
  // A moment that no FILETIME can hold is handed over as a value FileTimeToSystemTime refuses,
  // so that it fails the way a bad clock reading would.
  uint64_t ticks = std::numeric_limits<uint64_t>::max();
  constexpr int64_t kMaxSeconds =
      static_cast<int64_t>(std::numeric_limits<uint64_t>::max() / kTicksPerSecond) -
      kSecondsFrom1601To1970;
  if (unix_seconds >= -kSecondsFrom1601To1970 && unix_seconds < kMaxSeconds &&
      nanoseconds < 1000000000) {
    ticks = static_cast<uint64_t>(unix_seconds + kSecondsFrom1601To1970) * kTicksPerSecond +
            nanoseconds / 100;
  }
  return local_time_from_ticks(ticks);
}

Result<LocalTime> local_time_now() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return local_time_from_ticks((uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime);
}

}  // namespace vellicor
