#include "model/filerec/file_rec.hpp"

#include <gtest/gtest.h>

#include "model/log_builder.hpp"
#include "support/memory_stream.hpp"

namespace vellicor {
namespace {

using namespace testing_support;

Error parse_error(const std::string& message) {
  return Error(FileRecParseError, message);
}

// Reads records from a stream of blocks until one fails; gives the records and that failure.
std::pair<std::vector<FileRec>, std::optional<Error>> read_all(const Bytes& blocks, int limit) {
  MemorySource source(blocks);
  BlockReader reader(source);
  std::vector<FileRec> records;
  for (int i = 0; i < limit; ++i) {
    auto record = read_file_rec(reader);
    if (!record) return {records, record.error()};
    records.push_back(std::move(*record));
  }
  return {records, std::nullopt};
}

TEST(FileRecTest, ReadsRecordsBackToBack) {
  const Bytes stream = concat({record(0x82, 7, {}), record(0x10, 0xFFFFFFFF, {1, 2, 3})});
  const auto [records, error] = read_all(blocks_of(stream), 2);
  ASSERT_FALSE(error.has_value()) << error->display_text();
  EXPECT_EQ(records, (std::vector<FileRec>{{7, {}, FileRecType::DeleteFile},
                                           {0xFFFFFFFF, {1, 2, 3}, FileRecType::StartInstall}}));
}

TEST(FileRecTest, RecordsStraddleBlocks) {
  // The 10-byte prefix of the second record is cut 3 + 7, its data 2 + 2.
  const Bytes first = record(0x01, 1, Bytes(4083, 9));
  const Bytes second = record(0x8C, 2, {5, 6, 7, 8});
  Bytes stream = concat({first, second});
  const Bytes blocks = concat({block(Bytes(stream.begin(), stream.begin() + 4096)),
                               block(Bytes(stream.begin() + 4096, stream.end() - 2)),
                               block(Bytes(stream.end() - 2, stream.end()))});
  const auto [records, error] = read_all(blocks, 2);
  ASSERT_FALSE(error.has_value()) << error->display_text();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1], (FileRec{2, {5, 6, 7, 8}, FileRecType::MutexCheck}));
}

TEST(FileRecTest, ReadFailuresNameTheFieldNotTheBlockLayer) {
  const Bytes whole = record(0x82, 1, {1, 2, 3, 4});
  const auto cut = [&](size_t size) { return block(Bytes(whole.begin(), whole.begin() + size)); };
  Bytes too_large;
  put_u16(too_large, 0x82);
  put_u32(too_large, 0);
  put_u32(too_large, 134217729);
  Bytes largest = too_large;
  largest[6] = 0x00;  // 134217728 is allowed: the data is then missing
  largest[9] = 0x08;
  const struct {
    const char* name;
    Bytes blocks;
    std::string message;
  } cases[] = {
      {"no block", {}, "Failed to parse file rec typ"},
      {"half a type", cut(1), "Failed to parse file rec typ"},
      {"a damaged block", block(whole, {.crc = 0}), "Failed to parse file rec typ"},
      {"inside the extra data", cut(4), "Failed to parse file rec extra data"},
      {"inside the data size", cut(8), "Failed to parse file rec data size"},
      {"inside the data", cut(12), "Failed to parse file rec data"},
      {"a size past the limit", block(too_large), "File rec data size too large"},
      {"the largest size", block(largest), "Failed to parse file rec data"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto [records, error] = read_all(c.blocks, 1);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error, parse_error(c.message));
  }
}

TEST(FileRecTest, OnlyTheSeventeenTypesAreRecords) {
  const uint16_t known[] = {0x01, 0x10, 0x11, 0x20, 0x80, 0x81, 0x82, 0x83, 0x84,
                            0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x8B, 0x8C};
  for (uint16_t number : known) {
    const auto [records, error] = read_all(blocks_of(record(number, 3, {4})), 1);
    ASSERT_FALSE(error.has_value()) << number;
    EXPECT_EQ(static_cast<uint16_t>(records[0].typ), number);
  }
  // 0x181 and 0x8201 must not be taken for 0x81 and 0x01 by cutting off their high byte.
  for (uint16_t number : {0x00, 0x02, 0x0F, 0x12, 0x21, 0x7F, 0x8D, 0xFF, 0x181, 0x8201}) {
    const auto [records, error] = read_all(blocks_of(record(number, 0, {})), 1);
    ASSERT_TRUE(error.has_value()) << number;
    EXPECT_EQ(error->kind(), FileRecParseError);
    EXPECT_EQ(error->message().rfind("Unsupported file rec typ 0x", 0), 0u) << error->message();
  }
}

TEST(FileRecTest, AnUnsupportedTypeIsReportedAfterTheWholeRecordWasRead) {
  MemorySource source(blocks_of(concat({record(0x42, 0, {1, 2, 3}), record(0x20, 0, {})})));
  BlockReader reader(source);
  EXPECT_EQ(error_of(read_file_rec(reader)), parse_error("Unsupported file rec typ 0x42"));
  EXPECT_TRUE(read_file_rec(reader).has_value());
}

TEST(FileRecTest, WritesTheFramingLittleEndian) {
  MemorySink sink;
  BlockWriter writer(sink);
  ASSERT_TRUE(write_file_rec(writer, {7, {0xA, 0xB, 0xC}, FileRecType::MutexCheck}).has_value());
  ASSERT_TRUE(writer.flush_block().has_value());
  EXPECT_EQ(sink.bytes(),
            block({0x8C, 0x00, 0x07, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0xA, 0xB, 0xC}));
}

TEST(FileRecTest, WriteFailuresNameTheField) {
  const FileRec rec{1, Bytes(5000, 1), FileRecType::Run};
  // A sink that takes no block at all: each field fails once the pending block is full. The
  // first record fills up to 4096 only inside its data.
  const struct {
    size_t already;  // bytes written before the record
    const char* message;
  } cases[] = {
      {4095, "Failed to write file rec typ to buffer"},
      {4091, "Failed to write file rec extra data to buffer"},
      {4087, "Failed to write file rec data size to buffer"},
      {0, "Failed to write file rec data to buffer"},
  };
  for (const auto& c : cases) {
    MemorySink sink(0);
    BlockWriter writer(sink);
    const Bytes before(c.already, 0);
    ASSERT_TRUE(writer.write_all(before.data(), before.size()).has_value());
    EXPECT_EQ(error_of(write_file_rec(writer, rec)), Error(FileRecWriteError, c.message));
  }
}

}  // namespace
}  // namespace vellicor
