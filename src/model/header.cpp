#include "model/header.hpp"

#include <cstring>
#include <optional>
#include <string_view>

#include "base/hex.hpp"
#include "base/utf.hpp"
#include "model/crc32.hpp"
#include "model/little_endian.hpp"

namespace vellicor {
namespace {

// The layout: every offset of the header appears here and nowhere else.
struct TextField {
  size_t offset;
  size_t width;
  const char* parse_error;
  const char* write_error;
};
constexpr TextField kIdField{0, 64, "Failed to parse header ID",
                             "Failed to write header id to buffer"};
constexpr TextField kAppIdField{64, 128, "Failed to parse header app ID",
                                "Failed to write header app id to buffer"};
constexpr TextField kAppNameField{192, 128, "Failed to parse header app name",
                                  "Failed to write header app name to buffer"};
constexpr size_t kVersionOffset = 320;
constexpr size_t kNumRecsOffset = 324;
constexpr size_t kEndOffsetOffset = 328;
constexpr size_t kFlagsOffset = 332;
constexpr size_t kReservedOffset = 336;
constexpr size_t kReservedSize = 108;
constexpr size_t kCrcOffset = 444;
static_assert(kReservedOffset + kReservedSize == kCrcOffset && kCrcOffset + 4 == kHeaderSize);

std::optional<std::string> read_text(std::span<const uint8_t> image, const TextField& field) {
  if (image.size() < field.offset + field.width) return std::nullopt;
  const auto* start = reinterpret_cast<const char*>(image.data() + field.offset);
  const std::string_view whole(start, field.width);
  const std::string_view text = whole.substr(0, whole.find('\0'));
  if (!is_valid_utf8(text)) return std::nullopt;
  return std::string(text);
}

bool write_text(HeaderImage& image, const TextField& field, const std::string& text) {
  if (text.size() > field.width) return false;
  std::memcpy(image.data() + field.offset, text.data(), text.size());
  return true;
}

}  // namespace

Result<UninstallHeader> parse_header(std::span<const uint8_t> image) {
  const auto header_error = [](const char* message) { return fail(HeaderParseError, message); };
  UninstallHeader header;
  for (const auto& [field, target] :
       {std::pair{&kIdField, &header.id}, std::pair{&kAppIdField, &header.app_id},
        std::pair{&kAppNameField, &header.app_name}}) {
    auto text = read_text(image, *field);
    if (!text) return header_error(field->parse_error);
    *target = std::move(*text);
  }
  const auto has = [&](size_t offset, size_t size) { return image.size() >= offset + size; };
  if (!has(kVersionOffset, 4)) return header_error("Failed to parse header version");
  header.version = load_i32(image.data() + kVersionOffset);
  if (!has(kNumRecsOffset, 4)) return header_error("Failed to parse header num recs");
  header.num_recs = load_u32(image.data() + kNumRecsOffset);
  if (!has(kEndOffsetOffset, 4)) return header_error("Failed to parse header end offset");
  header.end_offset = load_u32(image.data() + kEndOffsetOffset);
  if (!has(kFlagsOffset, 4)) return header_error("Failed to parse header flags");
  header.flags = load_u32(image.data() + kFlagsOffset);
  if (!has(kReservedOffset, kReservedSize)) return header_error("Failed to parse header reserved");
  if (!has(kCrcOffset, 4)) return header_error("Failed to parse header crc");
  header.crc = load_u32(image.data() + kCrcOffset);

  if (crc32(image.data(), kCrcOffset) != header.crc) return header_error("CRC32 check failed");
  if (header.id != kHeaderId && header.id != kHeaderId64) return header_error("Invalid header ID");
  if (header.version > kMaxHeaderVersion) return header_error("Header version not supported");
  return header;
}

Result<HeaderImage> serialize_header(const UninstallHeader& header, uint32_t end_offset) {
  HeaderImage image{};
  if (!write_text(image, kIdField, header.id)) {
    return fail(HeaderWriteError, kIdField.write_error);
  }
  if (!write_text(image, kAppIdField, header.app_id)) {
    return fail(HeaderWriteError, kAppIdField.write_error);
  }
  if (!write_text(image, kAppNameField, header.app_name)) {
    return fail(HeaderWriteError, kAppNameField.write_error);
  }
  store_i32(image.data() + kVersionOffset, header.version);
  store_u32(image.data() + kNumRecsOffset, header.num_recs);
  store_u32(image.data() + kEndOffsetOffset, end_offset);
  store_u32(image.data() + kFlagsOffset, header.flags);
  // The reserved words stay zero.
  store_u32(image.data() + kCrcOffset, crc32(image.data(), kCrcOffset));
  return image;
}

std::string header_text(const UninstallHeader& header) {
  std::string text = "Header, id: ";
  for (const auto& [label, value] :
       {std::pair{"", &header.id}, std::pair{", app id: ", &header.app_id},
        std::pair{", app name: ", &header.app_name}}) {
    text.append(label).append(*value);
  }
  text.append(", version: ").append(std::to_string(header.version));
  text.append(", num recs: ").append(std::to_string(header.num_recs));
  text.append(", end offset: ").append(std::to_string(header.end_offset));
  text.append(", flags: 0x").append(lower_hex(header.flags));
  text.append(", crc: 0x").append(lower_hex(header.crc));
  return text;
}

}  // namespace vellicor
