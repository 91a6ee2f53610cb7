// Display texts of the values of key-value pairs; floating-point values have float_display.cpp.

#include <charconv>
#include <cstdint>

#include "base/utf.hpp"
#include "logging/logger.hpp"

namespace vellicor {
namespace {

template <class Integer>
std::string integer_text(Integer value) {
  char buffer[24];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  return std::string(buffer, end);
}

}  // namespace

LogValue::LogValue(char32_t value) {
  // Code points that UTF-8 cannot carry (surrogates, values past U+10FFFF) show as U+FFFD.
  if ((value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) value = 0xFFFD;
  append_utf8(text_, value);
}

void LogValue::set_integer(int64_t value) {
  text_ = integer_text(value);
}

void LogValue::set_unsigned(uint64_t value) {
  text_ = integer_text(value);
}

}  // namespace vellicor
