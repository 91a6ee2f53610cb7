#include <time.h>

#include "base/clock.hpp"

namespace vellicor {

std::optional<uint64_t> unix_seconds_now() {
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0) return std::nullopt;
  return static_cast<uint64_t>(now.tv_sec);
}

uint64_t steady_microseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for this clock
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000ULL +
         static_cast<uint64_t>(now.tv_nsec) / 1000ULL;
}

}  // namespace vellicor
