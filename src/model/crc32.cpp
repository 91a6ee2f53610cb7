#include "model/crc32.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <utility>

namespace vellicor {
namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;

// The register is updated one byte at a time through this table; the braided loop below
// handles the bulk of a buffer and leaves only its ends to the byte loop.
constexpr std::array<uint32_t, 256> make_byte_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t byte = 0; byte < 256; ++byte) {
    uint32_t crc = byte;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc >> 1) ^ ((crc & 1) ? kPolynomial : 0);
    table[byte] = crc;
  }
  return table;
}

constexpr auto kByteTable = make_byte_table();

constexpr uint32_t update_byte(uint32_t crc, uint8_t byte) {
  return (crc >> 8) ^ kByteTable[(crc ^ byte) & 0xFF];
}

// Braiding: the buffer is read as machine words, and kBraids interleaved CRCs run over every
// kBraids-th word. The CRCs do not depend on each other, so the processor overlaps their table
// lookups; they are merged at the end. A word is the native register width (4 bytes on i686,
// 8 on x86-64), read with memcpy so that neither alignment nor aliasing matters.
using Word = std::size_t;
constexpr size_t kWordBytes = sizeof(Word);
constexpr size_t kBraids = 6;
constexpr size_t kBlockBytes = kBraids * kWordBytes;

// The register after a byte was taken in and followed by `zeros` zero bytes.
constexpr uint32_t shift_through_zeros(uint32_t crc, size_t zeros) {
  for (size_t i = 0; i < zeros; ++i)
    crc = (crc >> 8) ^ kByteTable[crc & 0xFF];
  return crc;
}

// Table k: what byte value v at position k of a word contributes to its braid's register once
// that register has advanced to the braid's next word, kBraids words further on.
using BraidTables = std::array<std::array<uint32_t, 256>, kWordBytes>;

constexpr BraidTables make_braid_tables() {
  BraidTables tables{};
  for (size_t k = 0; k < kWordBytes; ++k) {
    const size_t zeros = (kWordBytes - 1 - k) + (kBraids - 1) * kWordBytes;
    for (size_t v = 0; v < 256; ++v)
      tables[k][v] = shift_through_zeros(kByteTable[v], zeros);
  }
  return tables;
}

constexpr BraidTables kBraidTables = make_braid_tables();

inline Word load_word(const uint8_t* p) {
  Word word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// Takes in one whole word whose first bytes were already combined with the register.
inline uint32_t update_word(Word word) {
  for (size_t k = 0; k < kWordBytes; ++k)
    word = (word >> 8) ^ kByteTable[word & 0xFF];
  return static_cast<uint32_t>(word);
}

template <size_t... K>
inline uint32_t braid_step(Word word, std::index_sequence<K...>) {
  return (kBraidTables[K][(word >> (8 * K)) & 0xFF] ^ ...);
}

template <size_t... I>
inline void braid_block(const uint8_t* p, std::array<uint32_t, kBraids>& braids,
                        std::index_sequence<I...>) {
  const Word words[] = {(load_word(p + I * kWordBytes) ^ braids[I])...};
  ((braids[I] = braid_step(words[I], std::make_index_sequence<kWordBytes>())), ...);
}

// `crc` is the working (inverted) register; returns it with p and size moved past the bytes
// taken in.
uint32_t update_braided(uint32_t crc, const uint8_t*& p, size_t& size) {
  const size_t blocks = size / kBlockBytes;
  if (blocks < 2) return crc;
  std::array<uint32_t, kBraids> braids{};
  braids[0] = crc;
  for (size_t block = 0; block + 1 < blocks; ++block, p += kBlockBytes) {
    braid_block(p, braids, std::make_index_sequence<kBraids>());
  }
  // The last block merges the braids word by word into one register.
  crc = 0;
  for (size_t i = 0; i < kBraids; ++i) {
    crc = update_word(load_word(p + i * kWordBytes) ^ braids[i] ^ crc);
  }
  p += kBlockBytes;
  size -= blocks * kBlockBytes;
  return crc;
}

}  // namespace

uint32_t crc32_update(uint32_t crc, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  crc = ~crc;
  if constexpr (std::endian::native == std::endian::little) {
    crc = update_braided(crc, p, size);
  }
  for (; size > 0; --size, ++p)
    crc = update_byte(crc, *p);
  return ~crc;
}

uint32_t crc32(const void* data, size_t size) {
  return crc32_update(0, data, size);
}

}  // namespace vellicor
