#include "base/clock.hpp"
#include "base/win32.hpp"

namespace vellicor {

std::optional<uint64_t> unix_seconds_now() {
  // FILETIME counts 100-nanosecond intervals since 1601-01-01.
  constexpr uint64_t kUnixEpochIn100ns = 116444736000000000ULL;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const uint64_t ticks = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
  if (ticks < kUnixEpochIn100ns) return std::nullopt;
  return (ticks - kUnixEpochIn100ns) / 10000000ULL;
}

}  // namespace vellicor
