#pragma once
// The little-endian integer fields of the uninstall log, read from and written to bytes: the
// one place where the format's byte order is spelled out.

#include <bit>
#include <cstdint>
#include <cstring>

namespace vellicor {

inline uint16_t load_u16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline uint32_t load_u32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
         (uint32_t{bytes[3]} << 24);
}

inline uint64_t load_u64(const uint8_t* bytes) {
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  } else {
    return uint64_t{load_u32(bytes)} | (uint64_t{load_u32(bytes + 4)} << 32);
  }
}

inline int32_t load_i32(const uint8_t* bytes) {
  return static_cast<int32_t>(load_u32(bytes));
}

inline void store_u16(uint8_t* bytes, uint16_t value) {
  bytes[0] = static_cast<uint8_t>(value);
  bytes[1] = static_cast<uint8_t>(value >> 8);
}

inline void store_u32(uint8_t* bytes, uint32_t value) {
  bytes[0] = static_cast<uint8_t>(value);
  bytes[1] = static_cast<uint8_t>(value >> 8);
  bytes[2] = static_cast<uint8_t>(value >> 16);
  bytes[3] = static_cast<uint8_t>(value >> 24);
}

inline void store_i32(uint8_t* bytes, int32_t value) {
  store_u32(bytes, static_cast<uint32_t>(value));
}

}  // namespace vellicor
