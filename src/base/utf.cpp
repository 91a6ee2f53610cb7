#include "base/utf.hpp"

#include <cstdint>

namespace vellicor {

bool decode_utf8(std::string_view text, size_t& i, char32_t& out) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = byte(i);
  size_t length;
  char32_t value;
  char32_t minimum;
  if (lead < 0x80) {
    out = lead;
    i += 1;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return false;
  }
  if (text.size() - i < length) return false;
  for (size_t k = 1; k < length; ++k) {
    const uint8_t next = byte(i + k);
    if ((next & 0xC0) != 0x80) return false;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  out = value;
  i += length;
  return true;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool is_valid_utf8(std::string_view text) {
  size_t i = 0;
  char32_t cp;
  while (i < text.size()) {
    if (!decode_utf8(text, i, cp)) return false;
  }
  return true;
}

Result<std::u16string> utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  char32_t cp;
  while (i < text.size()) {
    if (!decode_utf8(text, i, cp)) return fail_other("invalid UTF-8 text");
    if (cp < 0x10000) {
      out.push_back(static_cast<char16_t>(cp));
    } else {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
    }
  }
  return out;
}

Result<std::string> utf16_to_utf8(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    const char16_t unit = units[i];
    if (is_high_surrogate(unit)) {
      if (i + 1 == units.size() || !is_low_surrogate(units[i + 1])) {
        return fail_other("unpaired surrogate in UTF-16 text");
      }
      append_utf8(out, surrogate_pair_code_point(unit, units[i + 1]));
      ++i;
    } else if (is_low_surrogate(unit)) {
      return fail_other("unpaired surrogate in UTF-16 text");
    } else {
      append_utf8(out, unit);
    }
  }
  return out;
}

Result<std::string> wide_to_text(const char16_t* units, size_t length) {
  size_t end = 0;
  while (end < length && units[end] != 0)
    ++end;
  auto text = utf16_to_utf8(std::u16string_view(units, end));
  if (!text) return fail_other("Could not convert from utf16");
  return text;
}

}  // namespace vellicor
