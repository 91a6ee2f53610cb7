#pragma once
// The list of texts (paths) in the data of records of types 0x81 and 0x82: entries of 0xFE,
// the negated byte length as a signed 32-bit value and UTF-16LE code units, ended by 0xFF.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "model/errors.hpp"

namespace vellicor {

// Decodes a list strictly (a StringDecodeError otherwise). Empty texts are kept, so that
// encoding the result gives back exactly the bytes that were decoded.
[[nodiscard]] Result<std::vector<std::string>> decode_text_list(std::span<const uint8_t> data);

// The data bytes of a list. Texts are UTF-8, as decode_text_list gives them; a byte that is
// not valid UTF-8 is written as U+FFFD rather than passed on as a broken code unit.
std::vector<uint8_t> encode_text_list(std::span<const std::string> texts);

// Where one text lies inside the data: its UTF-16LE bytes.
struct TextSpan {
  size_t offset;  // just past the entry's 5-byte header
  size_t size;    // in bytes, even
};

// Checks a list exactly as decode_text_list does and gives where its texts lie, without
// converting them. `texts` is cleared first; its capacity is reused across calls.
[[nodiscard]] Status scan_text_list(std::span<const uint8_t> data, std::vector<TextSpan>& texts);

// The byte that introduces a text entry, the one that ends the list, and the size of a text
// entry's header (the byte and the length).
inline constexpr uint8_t kTextEntry = 0xFE;
inline constexpr uint8_t kTextListEnd = 0xFF;
inline constexpr size_t kTextEntryHeaderSize = 5;

}  // namespace vellicor
