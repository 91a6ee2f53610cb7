#include <time.h>

#include <cerrno>

#include "base/sleep.hpp"

namespace vellicor {

void sleep_milliseconds(uint32_t milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1'000'000L};
  // A signal handler may cut the sleep short; the rest is slept anyway.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

}  // namespace vellicor
