#pragma once
// Strict UTF-8 / UTF-16 conversion: invalid input is an error, nothing is replaced or dropped.

#include <string>
#include <string_view>

#include "base/error.hpp"

namespace vellicor {

[[nodiscard]] bool is_valid_utf8(std::string_view text);

// Decodes the code point whose sequence starts at text[i] and moves i past it; false, with i
// left where it was, when no valid sequence starts there (bad or truncated sequences, overlong
// forms, surrogates, values above U+10FFFF).
[[nodiscard]] bool decode_utf8(std::string_view text, size_t& i, char32_t& out);

// Appends the UTF-8 form of a Unicode scalar value (no surrogates, at most U+10FFFF).
void append_utf8(std::string& out, char32_t code_point);

// Fails on malformed UTF-8 (bad or truncated sequences, overlong forms, surrogates, values
// above U+10FFFF).
[[nodiscard]] Result<std::u16string> utf8_to_utf16(std::string_view text);

// A code point past U+FFFF takes two UTF-16 units: a high surrogate, then a low one.
constexpr bool is_high_surrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
constexpr bool is_low_surrogate(char32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// The code point that a high and a low surrogate stand for together.
constexpr char32_t surrogate_pair_code_point(char32_t high, char32_t low) {
  return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}

// Fails on an unpaired surrogate.
[[nodiscard]] Result<std::string> utf16_to_utf8(std::u16string_view units);

// The text in one of the system's fixed-size UTF-16 buffers: the units up to the first zero
// unit (all of them when there is none) as UTF-8; an unpaired surrogate fails with "Could not
// convert from utf16".
[[nodiscard]] Result<std::string> wide_to_text(const char16_t* units, size_t length);

// The upper-case form of one UTF-16 unit, as NTFS maps it when it compares names: one unit for
// one, by a fixed table, so that two names are one exactly when their units map alike. On
// Windows the system's own mapping (upper_case_win32.cpp); elsewhere the $UpCase table that
// mkntfs writes (upper_case_posix.cpp). Neither is Unicode's full case mapping: dotless i and I,
// long s and S, final sigma and capital sigma, k and the Kelvin sign stay apart, and a surrogate
// maps to itself, so no character past U+FFFF has a case (measured on a mounted NTFS volume:
// tests/base/path_test.cpp). Reads a table built once, safe from any thread.
char16_t upper_case_unit(char16_t unit);

}  // namespace vellicor
