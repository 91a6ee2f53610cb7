#include "model/crc32.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "model/log_builder.hpp"

#ifdef VELLICOR_HAVE_ZLIB
#include <zlib.h>
#endif

namespace vellicor {
namespace {

using testing_support::Bytes;
using testing_support::reference_crc32;

Bytes random_bytes(std::mt19937& random, size_t size) {
  Bytes bytes(size);
  for (auto& byte : bytes)
    byte = static_cast<uint8_t>(random());
  return bytes;
}

TEST(Crc32Test, KnownAnswers) {
  const struct {
    std::string input;
    uint32_t crc;
  } cases[] = {
      {"", 0},
      {"a", 0xE8B7BE43},
      {"123456789", 0xCBF43926},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339},
      {std::string(4096, '\0'), 0xC71C0011},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(crc32(c.input.data(), c.input.size()), c.crc) << c.input.size() << " bytes";
  }
}

// Every length around the word and braid boundaries, at every alignment, against the bit-by-bit
// definition: the fast path's ends and its merging of the braids are where mistakes hide.
TEST(Crc32Test, MatchesTheDefinitionAtEveryLengthAndAlignment) {
  std::mt19937 random(7);
  const Bytes buffer = random_bytes(random, 1200);
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t size = 0; size + offset <= 400; ++size) {
      const Bytes slice(buffer.begin() + offset, buffer.begin() + offset + size);
      const uint32_t expected = reference_crc32(slice);
      ASSERT_EQ(crc32(buffer.data() + offset, size), expected)
          << "offset " << offset << " size " << size;
      ASSERT_EQ(crc32_update_portable(0, buffer.data() + offset, size), expected)
          << "offset " << offset << " size " << size;
    }
  }
  EXPECT_EQ(crc32(buffer.data(), buffer.size()), reference_crc32(buffer));
}

TEST(Crc32Test, ContinuesAcrossPieces) {
  std::mt19937 random(11);
  const Bytes bytes = random_bytes(random, 10000);
  for (size_t cut : {0, 1, 47, 48, 4096, 9999, 10000}) {
    const uint32_t first = crc32(bytes.data(), cut);
    EXPECT_EQ(crc32_update(first, bytes.data() + cut, bytes.size() - cut),
              crc32(bytes.data(), bytes.size()))
        << "cut at " << cut;
  }
}

// The folding paths take 128 bytes (from 256 on, where the processor can) or 64 at a time,
// then 16, then leave the rest to the byte loop; every one of those steps is crossed here,
// from any start value and alignment.
TEST(Crc32Test, FoldingAgreesWithTheTableDrivenPath) {
  if (!crc32_uses_clmul()) GTEST_SKIP() << "no carry-less multiply on this processor";
  std::mt19937 random(99);
  const Bytes buffer = random_bytes(random, 140000);
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t size = 60; size <= 600; ++size) {
      const uint32_t start = random();
      ASSERT_EQ(crc32_update(start, buffer.data() + offset, size),
                crc32_update_portable(start, buffer.data() + offset, size))
          << "offset " << offset << " size " << size;
    }
  }
  for (int round = 0; round < 200; ++round) {
    const size_t offset = random() % 64;
    const size_t size = random() % (buffer.size() - offset);
    const uint32_t start = random();
    ASSERT_EQ(crc32_update(start, buffer.data() + offset, size),
              crc32_update_portable(start, buffer.data() + offset, size))
        << "offset " << offset << " size " << size;
  }
}

#ifdef VELLICOR_HAVE_ZLIB
TEST(Crc32Test, AgreesWithZlibOnRandomBuffers) {
  std::mt19937 random(2024);
  for (int round = 0; round < 300; ++round) {
    const size_t size = random() % (round < 200 ? 600 : 70000);
    const size_t offset = random() % 16;
    const Bytes bytes = random_bytes(random, size + offset);
    const uint32_t expected =
        static_cast<uint32_t>(::crc32(0, bytes.data() + offset, static_cast<uInt>(size)));
    ASSERT_EQ(crc32(bytes.data() + offset, size), expected) << "size " << size;
  }
}
#endif

}  // namespace
}  // namespace vellicor
