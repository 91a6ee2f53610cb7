#include "model/block_stream.hpp"

#include <gtest/gtest.h>

#include <random>

#include "model/log_builder.hpp"
#include "support/memory_stream.hpp"

namespace vellicor {
namespace {

using namespace testing_support;

Bytes pattern(size_t size, uint8_t seed = 1) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
  return bytes;
}

Result<Bytes> read_from(const Bytes& stream, size_t size) {
  MemorySource source(stream);
  BlockReader reader(source);
  Bytes out(size);
  if (auto read = reader.read_exact(out.data(), size); !read) return fail(read.error());
  return out;
}

TEST(BlockReaderTest, BlockHeaderChecks) {
  const Bytes full = pattern(4096);
  const Bytes big = pattern(4097);
  const struct {
    const char* name;
    Bytes stream;
    size_t read;
    const char* error;  // nullptr: the read succeeds
  } cases[] = {
      {"a full block", block(full), 4096, nullptr},
      {"4097 with a correct complement", block(big), 1, kBlockSizeTooLarge},
      {"5000 with a wrong complement", block(pattern(5000), {.not_size = 0}), 1, kBlockSizeCorrupt},
      // The complement is tested before the size limit.
      {"a huge size with a wrong complement", block(full, {.size = 0xFFFFFFFF, .not_size = 1}), 1,
       kBlockSizeCorrupt},
      {"a wrong crc", block(full, {.crc = 0x12345678}), 1, kBlockCrcMismatch},
      {"an empty block with a non-zero crc", block({}, {.crc = 1}), 1, kBlockCrcMismatch},
      {"end of data inside a header", Bytes(5, 0), 1, kUnexpectedEof},
      {"end of data inside a payload", drop_last(block(full), 1), 1, kUnexpectedEof},
      {"no block at all", {}, 1, kUnexpectedEof},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = read_from(c.stream, c.read);
    if (c.error == nullptr) {
      ASSERT_TRUE(result.has_value()) << result.error().display_text();
      continue;
    }
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(error_of(result), Error(IoError, c.error));
  }
}

TEST(BlockReaderTest, ReadingZeroBytesReadsNothing) {
  MemorySource source({});
  BlockReader reader(source);
  EXPECT_TRUE(reader.read_exact(nullptr, 0).has_value());
  EXPECT_EQ(source.reads(), 0u);
}

TEST(BlockReaderTest, EmptyBlocksAreSkippedAndFieldsSpanBlocks) {
  // A 4-byte field split 2 + 2 across blocks, with an empty block between them.
  const Bytes stream = concat({block({1, 2}), block({}), block({3, 4, 5})});
  MemorySource source(stream);
  BlockReader reader(source);
  Bytes out(4);
  ASSERT_TRUE(reader.read_exact(out.data(), 4).has_value());
  EXPECT_EQ(out, (Bytes{1, 2, 3, 4}));
  ASSERT_TRUE(reader.read_exact(out.data(), 1).has_value());
  EXPECT_EQ(out[0], 5);
  EXPECT_EQ(error_of(reader.read_exact(out.data(), 1)), Error(IoError, kUnexpectedEof));
}

// Pieces in place end where their block ends; empty blocks yield none, and a broken block is
// the block layer's failure as for read_exact.
TEST(BlockReaderTest, ReadSomeHandsOutPiecesOfOneBlockAtATime) {
  const Bytes stream = concat({block({1, 2, 3}), block({}), block({4, 5}), block({6}, {.crc = 0})});
  MemorySource source(stream);
  BlockReader reader(source);
  const auto piece_of = [&](size_t size) -> Result<Bytes> {
    auto piece = reader.read_some(size);
    if (!piece) return fail(piece.error());
    return Bytes(piece->begin(), piece->end());
  };
  EXPECT_EQ(piece_of(0), Bytes{});
  EXPECT_EQ(source.reads(), 0u);
  EXPECT_EQ(piece_of(2), (Bytes{1, 2}));
  EXPECT_EQ(piece_of(5), (Bytes{3}));
  EXPECT_EQ(piece_of(5), (Bytes{4, 5}));
  EXPECT_EQ(error_of(piece_of(1)), Error(IoError, kBlockCrcMismatch));
}

TEST(BlockReaderTest, LoadsOnlyTheBlocksItNeeds) {
  const Bytes stream = concat({block(pattern(10)), block(pattern(10), {.crc = 0})});
  MemorySource source(stream);
  BlockReader reader(source);
  Bytes out(10);
  ASSERT_TRUE(reader.read_exact(out.data(), 10).has_value());
  EXPECT_EQ(source.position(), 22u);  // the damaged second block is never touched
}

Bytes write_in_pieces(const Bytes& stream, const std::vector<size_t>& pieces, int flushes = 1) {
  MemorySink sink;
  BlockWriter writer(sink);
  size_t at = 0;
  for (size_t piece : pieces) {
    EXPECT_TRUE(writer.write_all(stream.data() + at, piece).has_value());
    at += piece;
  }
  for (int i = 0; i < flushes; ++i)
    EXPECT_TRUE(writer.flush_block().has_value());
  return sink.bytes();
}

TEST(BlockWriterTest, CutsTheStreamIntoFullBlocksAndARest) {
  const struct {
    const char* name;
    std::vector<size_t> pieces;
    std::vector<uint32_t> blocks;
  } cases[] = {
      {"nothing", {}, {}},
      {"zero bytes", {0}, {}},
      {"one byte", {1}, {1}},
      {"exactly one block", {4096}, {4096}},
      {"one byte more", {4097}, {4096, 1}},
      {"small pieces", {1000, 3000, 96, 5}, {4096, 5}},
      {"a large piece", {3, 9000, 9000}, {4096, 4096, 4096, 4096, 1619}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    size_t total = 0;
    for (size_t piece : c.pieces)
      total += piece;
    const Bytes stream = pattern(total, 3);
    const Bytes written = write_in_pieces(stream, c.pieces, 2);
    EXPECT_EQ(block_sizes(written, 0), c.blocks);
    // The installer's own layout, crcs and all.
    EXPECT_EQ(written, blocks_of(stream));
  }
}

TEST(BlockWriterTest, AFullBlockIsEmittedAtOnce) {
  MemorySink sink;
  BlockWriter writer(sink);
  const Bytes stream = pattern(4096);
  ASSERT_TRUE(writer.write_all(stream.data(), stream.size()).has_value());
  EXPECT_EQ(sink.bytes().size(), 12u + 4096u);
  ASSERT_TRUE(writer.flush_block().has_value());
  EXPECT_EQ(sink.bytes().size(), 12u + 4096u);
}

TEST(BlockWriterTest, AFailedEmitKeepsThePendingBytes) {
  MemorySink sink(100);  // cannot take a 4096-byte block
  BlockWriter writer(sink);
  const Bytes stream = pattern(5000);
  EXPECT_EQ(error_of(writer.write_all(stream.data(), stream.size())), Error(IoError, kWriteZero));
  EXPECT_EQ(error_of(writer.flush_block()), Error(IoError, kWriteZero));
}

TEST(BlockStreamTest, WhatIsWrittenReadsBackUnchanged) {
  std::mt19937 random(5);
  for (int round = 0; round < 40; ++round) {
    std::vector<size_t> pieces(random() % 30);
    size_t total = 0;
    for (auto& piece : pieces)
      total += piece = random() % (round % 2 ? 5000 : 20);
    const Bytes stream = pattern(total, static_cast<uint8_t>(round));
    const Bytes written = write_in_pieces(stream, pieces);
    MemorySource source(written);
    BlockReader reader(source);
    Bytes back;
    for (size_t piece : pieces) {
      Bytes part(piece);
      ASSERT_TRUE(reader.read_exact(part.data(), piece).has_value());
      append(back, part);
    }
    ASSERT_EQ(back, stream);
    EXPECT_EQ(source.position(), written.size());
  }
}

}  // namespace
}  // namespace vellicor
