#include "model/filerec/text_list.hpp"

#include "base/hex.hpp"
#include "base/utf.hpp"
#include "model/little_endian.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace vellicor {
namespace {

std::unexpected<Error> decode_error(std::string message) {
  return fail(StringDecodeError, std::move(message));
}

// Non-zero when one of the four 16-bit units may be a surrogate (D800-DFFF): a lane of x is
// zero exactly where its unit is one, and the lowest zero lane always shows in the result.
inline uint64_t surrogate_lanes(uint64_t units) {
  constexpr uint64_t kLanes = 0x0001000100010001;
  const uint64_t x = (units & (0xF800 * kLanes)) ^ (0xD800 * kLanes);
  return (x - kLanes) & ~x & (0x8000 * kLanes);
}

// Surrogates must come in high-low pairs. Texts hardly ever hold any, so eight units at a
// time are first tested for one, and only from a group with one on is each unit looked at.
bool is_valid_utf16le(const uint8_t* bytes, size_t size) {
  size_t i = 0;
#ifdef __SSE2__
  // Where the processor compares sixteen units at once (always on x86-64), it does.
  const __m128i mask = _mm_set1_epi16(static_cast<short>(0xF800));
  const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
  for (; size - i >= 32; i += 32) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i + 16));
    const __m128i hits = _mm_or_si128(_mm_cmpeq_epi16(_mm_and_si128(a, mask), surrogate),
                                      _mm_cmpeq_epi16(_mm_and_si128(b, mask), surrogate));
    if (_mm_movemask_epi8(hits) != 0) break;
  }
#endif
  while (size - i >= 16 &&
         (surrogate_lanes(load_u64(bytes + i)) | surrogate_lanes(load_u64(bytes + i + 8))) == 0) {
    i += 16;
  }
  while (i < size) {
    const uint16_t unit = load_u16(bytes + i);
    i += 2;
    if (unit < 0xD800 || unit > 0xDFFF) continue;
    if (unit > 0xDBFF || i >= size) return false;
    const uint16_t next = load_u16(bytes + i);
    if (next < 0xDC00 || next > 0xDFFF) return false;
    i += 2;
  }
  return true;
}

// Decodes one UTF-8 sequence at text[i], or gives U+FFFD for one byte that starts none.
char32_t next_code_point(const std::string& text, size_t& i) {
  char32_t value = 0;
  if (decode_utf8(text, i, value)) return value;
  ++i;
  return 0xFFFD;
}

void append_unit(std::vector<uint8_t>& out, char32_t unit) {
  out.push_back(static_cast<uint8_t>(unit));
  out.push_back(static_cast<uint8_t>(unit >> 8));
}

}  // namespace

Status scan_text_list(std::span<const uint8_t> data, std::vector<TextSpan>& texts) {
  texts.clear();
  size_t at = 0;
  for (;;) {
    if (at == data.size()) return decode_error("Failed to parse file rec string header");
    const uint8_t header = data[at];
    if (header == kTextListEnd) {
      if (at + 1 != data.size()) return decode_error("Invalid file rec string header length");
      return {};
    }
    if (header != kTextEntry) {
      // Other string forms exist in the installer's format but never in these records.
      return decode_error("What 0x" + lower_hex(header));
    }
    if (data.size() - at - 1 < 4) return decode_error("Failed to parse file rec string size");
    const int64_t stored = load_i32(data.data() + at + 1);
    // The stored value is the negated byte length of UTF-16 units: never positive, never odd.
    if (stored > 0 || stored % 2 != 0) return decode_error("Failed to parse file rec string size");
    const auto size = static_cast<size_t>(-stored);
    const size_t offset = at + kTextEntryHeaderSize;
    if (size > data.size() - offset) return decode_error("Failed to parse file rec string size");
    if (!is_valid_utf16le(data.data() + offset, size)) {
      return decode_error("Failed to parse file rec data string");
    }
    texts.push_back({offset, size});
    at = offset + size;
  }
}

Result<std::vector<std::string>> decode_text_list(std::span<const uint8_t> data) {
  std::vector<TextSpan> spans;
  if (auto scanned = scan_text_list(data, spans); !scanned) return fail(scanned.error());
  std::vector<std::string> texts;
  texts.reserve(spans.size());
  std::u16string units;
  for (const auto& span : spans) {
    units.resize(span.size / 2);
    for (size_t i = 0; i < units.size(); ++i)
      units[i] = load_u16(data.data() + span.offset + 2 * i);
    // The scan has checked the units already, so the conversion cannot fail.
    auto text = utf16_to_utf8(units);
    if (!text) return decode_error("Failed to parse file rec data string");
    texts.push_back(std::move(*text));
  }
  return texts;
}

std::vector<uint8_t> encode_text_list(std::span<const std::string> texts) {
  std::vector<uint8_t> out;
  out.reserve(1024);
  for (const auto& text : texts) {
    out.push_back(kTextEntry);
    const size_t length_at = out.size();
    out.resize(out.size() + 4);
    const size_t units_at = out.size();
    for (size_t i = 0; i < text.size();) {
      const char32_t cp = next_code_point(text, i);
      if (cp < 0x10000) {
        append_unit(out, cp);
      } else {
        append_unit(out, 0xD800 | ((cp - 0x10000) >> 10));
        append_unit(out, 0xDC00 | ((cp - 0x10000) & 0x3FF));
      }
    }
    store_i32(out.data() + length_at, -static_cast<int32_t>(out.size() - units_at));
  }
  out.push_back(kTextListEnd);
  return out;
}

}  // namespace vellicor
