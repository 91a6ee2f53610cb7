#include "model/crc32.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <utility>

// Folding with carry-less multiplication is for 64-bit builds: the 32-bit Windows executable
// checks logs of a few megabytes, where the braided tables take milliseconds, and the folding
// would cost the executable's size, which has a budget.
#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define VELLICOR_CRC32_CLMUL 1
#define VELLICOR_CRC32_WIDE 1
#endif

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
uint32_t shift_through_zeros(uint32_t crc, size_t zeros) {
  for (size_t i = 0; i < zeros; ++i)
    crc = (crc >> 8) ^ kByteTable[crc & 0xFF];
  return crc;
}

// Table k: what byte value v at position k of a word contributes to its braid's register once
// that register has advanced to the braid's next word, kBraids words further on.
using BraidTables = std::array<std::array<uint32_t, 256>, kWordBytes>;

// Made on the first use rather than kept in the executable, whose size has a budget: they are
// kWordBytes KiB. Zeroed storage would not do: with a section per object, as the executable is
// linked, the Windows compiler keeps zeroes in the file too (GCC 12, mingw-w64). They stay
// until the program ends; the function-local static makes them once however many threads ask
// (C++11 [stmt.dcl]/4).
const BraidTables& braid_tables() {
  static const BraidTables* const tables = [] {
    auto* made = new BraidTables;
    for (size_t k = 0; k < kWordBytes; ++k) {
      const size_t zeros = (kWordBytes - 1 - k) + (kBraids - 1) * kWordBytes;
      for (size_t v = 0; v < 256; ++v)
        (*made)[k][v] = shift_through_zeros(kByteTable[v], zeros);
    }
    return made;
  }();
  return *tables;
}

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
inline uint32_t braid_step(const BraidTables& tables, Word word, std::index_sequence<K...>) {
  return (tables[K][(word >> (8 * K)) & 0xFF] ^ ...);
}

template <size_t... I>
inline void braid_block(const BraidTables& tables, const uint8_t* p,
                        std::array<uint32_t, kBraids>& braids, std::index_sequence<I...>) {
  const Word words[] = {(load_word(p + I * kWordBytes) ^ braids[I])...};
  ((braids[I] = braid_step(tables, words[I], std::make_index_sequence<kWordBytes>())), ...);
}

// `crc` is the working (inverted) register; returns it with p and size moved past the bytes
// taken in.
uint32_t update_braided(uint32_t crc, const uint8_t*& p, size_t& size) {
  const size_t blocks = size / kBlockBytes;
  if (blocks < 2) return crc;
  const BraidTables& tables = braid_tables();
  std::array<uint32_t, kBraids> braids{};
  braids[0] = crc;
  for (size_t block = 0; block + 1 < blocks; ++block, p += kBlockBytes) {
    braid_block(tables, p, braids, std::make_index_sequence<kBraids>());
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

#ifdef VELLICOR_CRC32_CLMUL
// Folding with carry-less multiplication: the buffer is taken 16 bytes at a time as a
// polynomial, and a 16-byte chunk is moved forward by F bits by multiplying its two halves by
// x^(F+64) and x^F modulo the polynomial, which leaves a value of at most 96 bits that is added
// to the chunk F bits further on. Four chunks are folded side by side, so that the multiplier's
// latency overlaps. What remains is one 16-byte chunk that has the same CRC as everything
// folded into it; the byte loop finishes from there.
//
// In the reflected order a register's bit 0 is the highest power, so a product of two 64-bit
// halves comes out one power short; the constants are taken one power lower to make up.

// x^n modulo the polynomial, reflected: bit 31 holds x^0.
constexpr uint32_t x_power(size_t n) {
  uint32_t value = 0x80000000u;
  for (size_t i = 0; i < n; ++i)
    value = (value >> 1) ^ ((value & 1) ? kPolynomial : 0);
  return value;
}

// The two multipliers that move a 16-byte chunk forward by `bits`, each in the top half of a
// reflected 64-bit lane: for the low half (x^(bits+64)) and the high half (x^bits).
struct FoldConstants {
  uint64_t low;
  uint64_t high;
};
constexpr FoldConstants fold_constants(size_t bits) {
  return {uint64_t{x_power(bits + 63)} << 32, uint64_t{x_power(bits - 1)} << 32};
}
constexpr FoldConstants kFold512 = fold_constants(512);
constexpr FoldConstants kFold128 = fold_constants(128);

__attribute__((target("sse2,pclmul"))) inline __m128i fold(__m128i chunk, __m128i constants,
                                                           __m128i next) {
  const __m128i low = _mm_clmulepi64_si128(chunk, constants, 0x00);
  const __m128i high = _mm_clmulepi64_si128(chunk, constants, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

__attribute__((target("sse2,pclmul"))) inline __m128i load_chunk(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

__attribute__((target("sse2,pclmul"))) inline __m128i constants_of(const FoldConstants& k) {
  return _mm_set_epi64x(static_cast<long long>(k.high), static_cast<long long>(k.low));
}

// Folds the four chunks that hold everything taken in so far into every further whole 16-byte
// chunk, then into one chunk, and returns the working register for what is left.
__attribute__((target("sse2,pclmul"))) inline uint32_t finish_clmul(__m128i x0, __m128i x1,
                                                                    __m128i x2, __m128i x3,
                                                                    const uint8_t*& p,
                                                                    size_t& size) {
  const __m128i by512 = constants_of(kFold512);
  for (; size >= 64; p += 64, size -= 64) {
    x0 = fold(x0, by512, load_chunk(p));
    x1 = fold(x1, by512, load_chunk(p + 16));
    x2 = fold(x2, by512, load_chunk(p + 32));
    x3 = fold(x3, by512, load_chunk(p + 48));
  }
  const __m128i by128 = constants_of(kFold128);
  x0 = fold(fold(fold(x0, by128, x1), by128, x2), by128, x3);
  for (; size >= 16; p += 16, size -= 16)
    x0 = fold(x0, by128, load_chunk(p));
  uint8_t rest[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(rest), x0);
  uint32_t crc = 0;
  for (uint8_t byte : rest)
    crc = update_byte(crc, byte);
  return crc;
}

// Takes in every whole 16-byte chunk of a buffer of at least 64 bytes; `crc` is the working
// register, as for update_braided.
__attribute__((target("sse2,pclmul"))) uint32_t update_clmul(uint32_t crc, const uint8_t*& p,
                                                             size_t& size) {
  // The register's value enters as if added to the first four bytes.
  const __m128i x0 = _mm_xor_si128(load_chunk(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  const __m128i x1 = load_chunk(p + 16);
  const __m128i x2 = load_chunk(p + 32);
  const __m128i x3 = load_chunk(p + 48);
  p += 64;
  size -= 64;
  return finish_clmul(x0, x1, x2, x3, p, size);
}

#ifdef VELLICOR_CRC32_WIDE
// Where the processor also multiplies 256-bit registers (VPCLMULQDQ, with AVX2), one multiply
// folds two chunks: four registers take in 128 bytes a round, twice what the loop above does
// with the same latency. They are then folded by 64 bytes into the four chunks that the
// 16-byte path goes on from.
#define VELLICOR_WIDE_TARGET __attribute__((target("avx2,pclmul,vpclmulqdq")))

constexpr FoldConstants kFold1024 = fold_constants(1024);

VELLICOR_WIDE_TARGET inline __m256i fold_wide(__m256i chunks, __m256i constants, __m256i next) {
  const __m256i low = _mm256_clmulepi64_epi128(chunks, constants, 0x00);
  const __m256i high = _mm256_clmulepi64_epi128(chunks, constants, 0x11);
  return _mm256_xor_si256(_mm256_xor_si256(low, high), next);
}

VELLICOR_WIDE_TARGET inline __m256i load_wide(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

VELLICOR_WIDE_TARGET inline __m256i wide_constants_of(const FoldConstants& k) {
  return _mm256_broadcastsi128_si256(constants_of(k));
}

// As update_clmul, for a buffer of at least 256 bytes.
VELLICOR_WIDE_TARGET uint32_t update_vpclmul(uint32_t crc, const uint8_t*& p, size_t& size) {
  __m256i y0 =
      _mm256_xor_si256(load_wide(p), _mm256_set_epi32(0, 0, 0, 0, 0, 0, 0, static_cast<int>(crc)));
  __m256i y1 = load_wide(p + 32);
  __m256i y2 = load_wide(p + 64);
  __m256i y3 = load_wide(p + 96);
  p += 128;
  size -= 128;
  const __m256i by1024 = wide_constants_of(kFold1024);
  for (; size >= 128; p += 128, size -= 128) {
    y0 = fold_wide(y0, by1024, load_wide(p));
    y1 = fold_wide(y1, by1024, load_wide(p + 32));
    y2 = fold_wide(y2, by1024, load_wide(p + 64));
    y3 = fold_wide(y3, by1024, load_wide(p + 96));
  }
  // Chunks 0-1 (y0) and 2-3 (y1) move forward onto chunks 4-5 (y2) and 6-7 (y3).
  const __m256i by512 = wide_constants_of(kFold512);
  const __m256i low = fold_wide(y0, by512, y2);
  const __m256i high = fold_wide(y1, by512, y3);
  return finish_clmul(_mm256_castsi256_si128(low), _mm256_extracti128_si256(low, 1),
                      _mm256_castsi256_si128(high), _mm256_extracti128_si256(high, 1), p, size);
}
#endif

bool detect_clmul() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  return (edx & bit_SSE2) != 0 && (ecx & bit_PCLMUL) != 0;
}

#ifdef VELLICOR_CRC32_WIDE
// The 256-bit registers need, beside what detect_clmul finds, the processor's AVX2 and
// VPCLMULQDQ and the system's saving of their upper halves (XCR0's SSE and AVX state bits).
bool detect_vpclmul() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  if ((ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0) return false;
  unsigned xcr0 = 0, xcr0_high = 0;
  __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
  if ((xcr0 & 6) != 6) return false;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  return (ebx & bit_AVX2) != 0 && (ecx & bit_VPCLMULQDQ) != 0;
}
#endif
// Decided once, before main; a CRC computed by an earlier initialiser takes the portable path.
const bool kHasClmul = detect_clmul();
#ifdef VELLICOR_CRC32_WIDE
const bool kHasVpclmul = detect_vpclmul();
#endif
#else
constexpr bool kHasClmul = false;
#endif

}  // namespace

uint32_t crc32_update_portable(uint32_t crc, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  crc = ~crc;
  if constexpr (std::endian::native == std::endian::little) {
    crc = update_braided(crc, p, size);
  }
  for (; size > 0; --size, ++p)
    crc = update_byte(crc, *p);
  return ~crc;
}

uint32_t crc32_update(uint32_t crc, const void* data, size_t size) {
#ifdef VELLICOR_CRC32_CLMUL
  if (kHasClmul && size >= 64) {
    const auto* p = static_cast<const uint8_t*>(data);
#ifdef VELLICOR_CRC32_WIDE
    if (kHasVpclmul && size >= 256) {
      crc = ~update_vpclmul(~crc, p, size);
      return crc32_update_portable(crc, p, size);
    }
#endif
    crc = ~update_clmul(~crc, p, size);
    return crc32_update_portable(crc, p, size);
  }
#endif
  return crc32_update_portable(crc, data, size);
}

bool crc32_uses_clmul() {
  return kHasClmul;
}

uint32_t crc32(const void* data, size_t size) {
  return crc32_update(0, data, size);
}

}  // namespace vellicor
