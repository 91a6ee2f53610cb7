#include <time.h>

#include <cerrno>

#include "base/sleep.hpp"

namespace vellicor {
namespace {

void sleep_for(timespec remaining) {
  // A signal handler may cut the sleep short; the rest is slept anyway.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

}  // namespace

void sleep_milliseconds(uint32_t milliseconds) {
  sleep_for({static_cast<time_t>(milliseconds / 1000),
             static_cast<long>(milliseconds % 1000) * 1'000'000L});
}

void sleep_microseconds(uint32_t microseconds) {
  sleep_for({static_cast<time_t>(microseconds / 1'000'000),
             static_cast<long>(microseconds % 1'000'000) * 1000L});
}

}  // namespace vellicor
