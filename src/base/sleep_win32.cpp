#include "base/sleep.hpp"
#include "base/win32.hpp"

namespace vellicor {

void sleep_milliseconds(uint32_t milliseconds) {
  Sleep(milliseconds);
}

void sleep_microseconds(uint32_t microseconds) {
  Sleep(whole_milliseconds(microseconds));
}

}  // namespace vellicor
