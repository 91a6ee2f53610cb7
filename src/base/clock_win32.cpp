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

uint64_t steady_microseconds() {
  // Neither call fails on Windows XP and later, as Microsoft documents them. Whole seconds and
  // the rest apart, so that the product with a million never overflows.
  LARGE_INTEGER frequency{};
  LARGE_INTEGER counter{};
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  const auto ticks_per_second = static_cast<uint64_t>(frequency.QuadPart);
  const auto ticks = static_cast<uint64_t>(counter.QuadPart);
  return ticks / ticks_per_second * 1'000'000ULL +
         ticks % ticks_per_second * 1'000'000ULL / ticks_per_second;
}

}  // namespace vellicor
