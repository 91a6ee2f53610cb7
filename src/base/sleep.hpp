#pragma once
// Blocking the calling thread for a while.

#include <cstdint>

namespace vellicor {

void sleep_milliseconds(uint32_t milliseconds);

// Windows sleeps in whole milliseconds: there the time is rounded up to them, so that even a
// short wait sleeps rather than spins.
void sleep_microseconds(uint32_t microseconds);

}  // namespace vellicor
