#pragma once
// Numbers as lower-case hexadecimal text without leading zeros (0 is "0").

#include <charconv>
#include <cstdint>
#include <string>

namespace vellicor {

inline std::string lower_hex(uint64_t value) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
  return std::string(digits, end);
}

}  // namespace vellicor
