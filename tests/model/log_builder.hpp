#pragma once
// Builds uninstall-log bytes for tests independently of the code under test: a bit-by-bit
// CRC-32, blocks with chosen (even wrong) header fields, records, text lists and headers.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "support/error_printing.hpp"

namespace vellicor::testing_support {

using Bytes = std::vector<uint8_t>;

inline uint32_t reference_crc32(const Bytes& bytes, size_t begin = 0, size_t end = SIZE_MAX) {
  if (end > bytes.size()) end = bytes.size();
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = begin; i < end; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

inline void put_u16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

inline void put_u32(Bytes& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<uint8_t>(value >> shift));
}

inline void append(Bytes& out, const Bytes& more) {
  out.insert(out.end(), more.begin(), more.end());
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts)
    append(out, part);
  return out;
}

// The bytes without their last `count`.
inline Bytes drop_last(Bytes bytes, size_t count) {
  bytes.resize(bytes.size() - count);
  return bytes;
}

inline uint32_t read_u32(const Bytes& bytes, size_t at) {
  return uint32_t{bytes[at]} | (uint32_t{bytes[at + 1]} << 8) | (uint32_t{bytes[at + 2]} << 16) |
         (uint32_t{bytes[at + 3]} << 24);
}

struct BlockFields {
  std::optional<uint32_t> size = std::nullopt;
  std::optional<uint32_t> not_size = std::nullopt;
  std::optional<uint32_t> crc = std::nullopt;
};

// One block around `payload`; each header field may be overridden.
inline Bytes block(const Bytes& payload, BlockFields fields = {}) {
  Bytes out;
  const uint32_t size = fields.size.value_or(static_cast<uint32_t>(payload.size()));
  put_u32(out, size);
  put_u32(out, fields.not_size.value_or(~size));
  put_u32(out, fields.crc.value_or(reference_crc32(payload)));
  append(out, payload);
  return out;
}

// A stream cut the installer's way: full blocks of 4096 and the rest in a last one.
inline Bytes blocks_of(const Bytes& stream) {
  Bytes out;
  for (size_t at = 0; at < stream.size(); at += 4096) {
    const size_t end = std::min(stream.size(), at + 4096);
    append(out, block(Bytes(stream.begin() + at, stream.begin() + end)));
  }
  return out;
}

// The payload sizes of the blocks in `bytes` from `at` on.
inline std::vector<uint32_t> block_sizes(const Bytes& bytes, size_t at) {
  std::vector<uint32_t> sizes;
  while (at + 12 <= bytes.size()) {
    sizes.push_back(read_u32(bytes, at));
    at += 12 + sizes.back();
  }
  return sizes;
}

inline Bytes record(uint16_t typ, uint32_t extra, const Bytes& data) {
  Bytes out;
  put_u16(out, typ);
  put_u32(out, extra);
  put_u32(out, static_cast<uint32_t>(data.size()));
  append(out, data);
  return out;
}

// A text list of ASCII texts.
inline Bytes text_list(std::initializer_list<std::string> texts) {
  Bytes out;
  for (const auto& text : texts) {
    out.push_back(0xFE);
    put_u32(out, static_cast<uint32_t>(-2 * static_cast<int32_t>(text.size())));
    for (char c : text)
      put_u16(out, static_cast<uint8_t>(c));
  }
  out.push_back(0xFF);
  return out;
}

struct HeaderFields {
  std::string id = "Inno Setup Uninstall Log (b)";
  std::string app_id = "{APP}";
  std::string app_name = "Vellicor";
  int32_t version = 1048;
  uint32_t num_recs = 0;
  uint32_t end_offset = 448;
  uint32_t flags = 1;
  std::optional<uint32_t> crc = std::nullopt;  // the right one unless given
};

inline Bytes header_image(const HeaderFields& fields) {
  Bytes out(448, 0);
  const auto place = [&](size_t at, const std::string& text) {
    std::copy(text.begin(), text.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
  };
  place(0, fields.id);
  place(64, fields.app_id);
  place(192, fields.app_name);
  Bytes numbers;
  put_u32(numbers, static_cast<uint32_t>(fields.version));
  put_u32(numbers, fields.num_recs);
  put_u32(numbers, fields.end_offset);
  put_u32(numbers, fields.flags);
  std::copy(numbers.begin(), numbers.end(), out.begin() + 320);
  const uint32_t crc = fields.crc.value_or(reference_crc32(out, 0, 444));
  for (int i = 0; i < 4; ++i)
    out[444 + i] = static_cast<uint8_t>(crc >> (8 * i));
  return out;
}

// Puts the right crc into an edited header image.
inline void fix_header_crc(Bytes& image) {
  const uint32_t crc = reference_crc32(image, 0, 444);
  for (int i = 0; i < 4; ++i)
    image[444 + i] = static_cast<uint8_t>(crc >> (8 * i));
}

inline Bytes read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline std::filesystem::path fixture(const std::string& name) {
  return std::filesystem::path(VELLICOR_TEST_DATA) / "uninstall-logs" / name;
}

}  // namespace vellicor::testing_support
