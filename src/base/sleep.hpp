#pragma once
// Blocking the calling thread for a while.

#include <cstdint>

namespace vellicor {

void sleep_milliseconds(uint32_t milliseconds);

// Windows sleeps in whole milliseconds: there the time is cut to them, and less than one only
// gives the rest of the time slice away.
void sleep_microseconds(uint32_t microseconds);

}  // namespace vellicor
