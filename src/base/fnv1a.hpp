#pragma once
// The 64-bit FNV-1a hash, fed a byte, a text or a number (its 8 bytes, low first) at a time.

#include <cstdint>
#include <string_view>

namespace vellicor {

class Fnv1a {
 public:
  void add_byte(uint8_t byte) { hash_ = (hash_ ^ byte) * 0x100000001B3ull; }
  void add_bytes(std::string_view bytes) {
    for (const char c : bytes)
      add_byte(static_cast<uint8_t>(c));
  }
  void add_number(uint64_t value) {
    for (int i = 0; i < 8; ++i)
      add_byte(static_cast<uint8_t>(value >> (8 * i)));
  }
  uint64_t value() const { return hash_; }

 private:
  uint64_t hash_ = 0xCBF29CE484222325ull;
};

}  // namespace vellicor
