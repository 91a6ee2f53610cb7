#pragma once
// Blocking the calling thread for a while.

#include <cstdint>

namespace vellicor {

void sleep_milliseconds(uint32_t milliseconds);

// Windows sleeps in whole milliseconds: there the time is rounded up to them
// (whole_milliseconds), so that even a short wait sleeps rather than spins.
void sleep_microseconds(uint32_t microseconds);

// A wait in whole milliseconds that is at least `microseconds` long: Sleep(0) only gives the
// rest of the time slice away, and returns at once when no other thread is ready.
constexpr uint32_t whole_milliseconds(uint32_t microseconds) {
  return microseconds / 1000 + (microseconds % 1000 != 0 ? 1 : 0);
}

}  // namespace vellicor
