#include "base/sleep.hpp"
#include "base/win32.hpp"

namespace vellicor {

void sleep_milliseconds(uint32_t milliseconds) {
  Sleep(milliseconds);
}

void sleep_microseconds(uint32_t microseconds) {
  // Sleep(0) only gives the rest of the time slice away, and returns at once when no other
  // thread is ready: a wait shorter than a millisecond is rounded up, so that it waits.
  Sleep(microseconds / 1000 + (microseconds % 1000 != 0 ? 1 : 0));
}

}  // namespace vellicor
