#pragma once
// Blocking the calling thread for a number of milliseconds.

#include <cstdint>

namespace vellicor {

void sleep_milliseconds(uint32_t milliseconds);

}  // namespace vellicor
