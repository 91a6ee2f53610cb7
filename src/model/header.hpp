#pragma once
// The fixed 448-byte header at the start of an uninstall log: its in-memory form, parsing and
// validation, serialisation with a fresh CRC, and the one-line text form.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "model/errors.hpp"

namespace vellicor {

inline constexpr size_t kHeaderSize = 448;
using HeaderImage = std::array<uint8_t, kHeaderSize>;

// The two identifiers the installer writes; both have the same layout.
inline constexpr const char* kHeaderId = "Inno Setup Uninstall Log (b)";
inline constexpr const char* kHeaderId64 = "Inno Setup Uninstall Log (b) 64-bit";
inline constexpr int32_t kMaxHeaderVersion = 1048;

struct UninstallHeader {
  std::string id;
  std::string app_id;
  std::string app_name;
  int32_t version = 0;
  uint32_t num_recs = 0;
  uint32_t end_offset = 0;
  uint32_t flags = 0;
  uint32_t crc = 0;  // as found in the file

  friend bool operator==(const UninstallHeader&, const UninstallHeader&) = default;
};

// Parses and validates the bytes read from offset 0 (a HeaderParseError otherwise). The
// reserved words and anything after a text's terminating zero are not kept.
[[nodiscard]] Result<UninstallHeader> parse_header(std::span<const uint8_t> image);

// The header's image with the given end offset and a freshly computed crc; its own end_offset
// and crc are not used. A text longer than its field is a HeaderWriteError.
[[nodiscard]] Result<HeaderImage> serialize_header(const UninstallHeader& header,
                                                   uint32_t end_offset);

// "Header, id: ..., app id: ..., app name: ..., version: ..., num recs: ..., end offset: ...,
// flags: 0x..., crc: 0x..." without a line break.
std::string header_text(const UninstallHeader& header);

}  // namespace vellicor
