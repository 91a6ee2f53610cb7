#include "model/uninstall_log.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <filesystem>
#include <map>

#include "base/file.hpp"
#include "model/log_builder.hpp"
#include "support/memory_stream.hpp"
#include "support/temp_dir.hpp"

namespace vellicor {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

std::map<int, int> count_types(const std::vector<FileRec>& records) {
  std::map<int, int> counts;
  for (const auto& rec : records)
    ++counts[static_cast<int>(rec.typ)];
  return counts;
}

TEST(UninstallLogTest, ReadsTheInstallersLogs) {
  const struct {
    const char* name;
    uint32_t num_recs;
    std::map<int, int> types;
  } cases[] = {
      {"installed.dat", 66, {{0x10, 1}, {0x11, 1}, {0x20, 1}, {0x81, 6}, {0x82, 56}, {0x86, 1}}},
      {"staged.dat", 65, {{0x10, 1}, {0x11, 1}, {0x20, 1}, {0x81, 5}, {0x82, 56}, {0x86, 1}}},
      {"staged-rebased.dat",
       65,
       {{0x10, 1}, {0x11, 1}, {0x20, 1}, {0x81, 5}, {0x82, 56}, {0x86, 1}}},
  };
  for (const auto& c : cases) {
    const auto log = read_uninstall_log(utf8(fixture(c.name)));
    ASSERT_TRUE(log.has_value()) << c.name << ": " << log.error().display_text();
    EXPECT_EQ(log->header.num_recs, c.num_recs);
    EXPECT_EQ(log->records.size(), c.num_recs);
    EXPECT_EQ(count_types(log->records), c.types) << c.name;
  }
}

TEST(UninstallLogTest, WritingBackGivesTheSameBytes) {
  TempDir dir;
  for (const char* name : {"installed.dat", "staged.dat", "staged-rebased.dat"}) {
    const auto log = read_uninstall_log(utf8(fixture(name)));
    ASSERT_TRUE(log.has_value()) << name;
    const std::string out = dir.at(name);
    ASSERT_TRUE(write_uninstall_log(out, log->header, log->records).has_value()) << name;
    EXPECT_EQ(read_bytes(from_utf8(out)), read_bytes(fixture(name))) << name;
    EXPECT_EQ(read_uninstall_log(out), log) << name;
  }
}

TEST(UninstallLogTest, WritesBlocksAndTheEndOffset) {
  TempDir dir;
  const std::string path = dir.at("unins000.dat");
  // 5000 record bytes: 4990 of data and the 10-byte prefix.
  const std::vector<FileRec> records = {{9, Bytes(4990, 0x33), FileRecType::CompiledCode}};
  UninstallHeader header{kHeaderId, "{A}", "App", 1048, 1, 0, 0x10, 0};
  ASSERT_TRUE(write_uninstall_log(path, header, records).has_value());
  const Bytes bytes = read_bytes(from_utf8(path));
  ASSERT_EQ(bytes.size(), 5472u);
  EXPECT_EQ(block_sizes(bytes, kHeaderSize), (std::vector<uint32_t>{4096, 904}));
  EXPECT_EQ(
      Bytes(bytes.begin(), bytes.begin() + kHeaderSize),
      header_image(
          {.app_id = "{A}", .app_name = "App", .num_recs = 1, .end_offset = 5472, .flags = 0x10}));

  // More than the 64 KiB buffers of reading and writing hold: blocks go straight between them
  // and the file, and some lie across the buffers' edges.
  std::vector<FileRec> many;
  for (uint8_t i = 0; i < 40; ++i)
    many.push_back({i, Bytes(4990 + i, i), FileRecType::CompiledCode});
  header.num_recs = static_cast<uint32_t>(many.size());
  ASSERT_TRUE(write_uninstall_log(path, header, many).has_value());
  const auto sizes = block_sizes(read_bytes(from_utf8(path)), kHeaderSize);
  EXPECT_EQ(std::count(sizes.begin(), sizes.end() - 1, 4096u), sizes.end() - 1 - sizes.begin());
  const auto back = read_uninstall_log(path);
  ASSERT_TRUE(back.has_value()) << back.error().display_text();
  EXPECT_EQ(back->records, many);

  // No records: the header alone.
  header.num_recs = 0;
  ASSERT_TRUE(write_uninstall_log(path, header, {}).has_value());
  EXPECT_EQ(read_bytes(from_utf8(path)),
            header_image({.app_id = "{A}", .app_name = "App", .flags = 0x10}));
}

TEST(UninstallLogTest, ReadsOnlyTheRecordsTheHeaderCounts) {
  // Blocks after a zero count, and bytes after the last record, are never read.
  const Bytes tail = blocks_of(concat({record(0x20, 1, {1}), Bytes{0x99}}));
  const struct {
    uint32_t num_recs;
    Bytes after;
  } cases[] = {{0, tail}, {0, Bytes(3, 0xEE)}, {1, concat({tail, Bytes(20, 0xEE)})}};
  TempDir dir;
  for (const auto& c : cases) {
    write_bytes(dir.path() / "log.dat",
                concat({header_image({.num_recs = c.num_recs, .end_offset = 1}), c.after}));
    const auto log = read_uninstall_log(dir.at("log.dat"));
    ASSERT_TRUE(log.has_value()) << log.error().display_text();
    EXPECT_EQ(log->records.size(), c.num_recs);
  }
}

TEST(UninstallLogTest, ReadFailures) {
  const Bytes three =
      concat({record(0x82, 0, text_list({"a"})), record(0x82, 0, text_list({"b"}))});
  Bytes bad_crc = header_image({});
  bad_crc[444] ^= 1;
  const struct {
    const char* name;
    Bytes file;
    Error error;
  } cases[] = {
      {"an empty file", {}, Error(HeaderParseError, "Failed to read header to buffer")},
      {"447 bytes", drop_last(header_image({}), 1),
       Error(HeaderParseError, "Failed to read header to buffer")},
      {"a damaged header", bad_crc, Error(HeaderParseError, "CRC32 check failed")},
      {"3 records promised, 2 there", concat({header_image({.num_recs = 3}), blocks_of(three)}),
       Error(FileRecParseError, "Failed to parse file rec typ")},
      {"a damaged block", concat({header_image({.num_recs = 1}), block(three, {.crc = 7})}),
       Error(FileRecParseError, "Failed to parse file rec typ")},
      {"a record cut short",
       concat({header_image({.num_recs = 1}), block(Bytes(three.begin(), three.begin() + 12))}),
       Error(FileRecParseError, "Failed to parse file rec data")},
  };
  TempDir dir;
  for (const auto& c : cases) {
    write_bytes(dir.path() / "log.dat", c.file);
    const auto log = read_uninstall_log(dir.at("log.dat"));
    ASSERT_FALSE(log.has_value()) << c.name;
    EXPECT_EQ(error_of(log), c.error) << c.name;
  }
}

TEST(UninstallLogTest, AMissingFileIsThePlatformsOpenError) {
  TempDir dir;
  const auto log = read_uninstall_log(dir.at("missing.dat"));
  ASSERT_FALSE(log.has_value());
  EXPECT_EQ(log.error().kind(), IoError);
  EXPECT_EQ(log.error().os_code(), 2);  // ENOENT and ERROR_FILE_NOT_FOUND alike
}

// Records are read one at a time, so a count that the file cannot hold costs nothing up front:
// the reading runs out where the file does and names the field it was in.
TEST(UninstallLogTest, ACountBeyondTheFileEndsWhereTheRecordsRunOut) {
  Bytes many;
  for (int i = 0; i < 600; ++i)
    many = concat({many, record(0x82, 0, text_list({"C:\\x" + std::to_string(i)}))});
  const Bytes two = concat({record(0x20, 0, {}), record(0x20, 0, {})});
  const struct {
    const char* name;
    Bytes file;
    Error error;
  } cases[] = {
      {"4294967295 records promised, 2 there",
       concat({header_image({.num_recs = 0xFFFFFFFFu}), blocks_of(two)}),
       Error(FileRecParseError, "Failed to parse file rec typ")},
      {"600 records, cut short inside the data of record 137",
       concat({header_image({.num_recs = 600}),
               blocks_of(Bytes(many.begin(), many.begin() + many.size() * 137 / 600 - 3))}),
       Error(FileRecParseError, "Failed to parse file rec data")},
  };
  for (const auto& c : cases) {
    MemorySource source(c.file);
    EXPECT_EQ(error_of(read_uninstall_log_from(source)), c.error) << c.name;
  }
}

// The log is written to a temporary file beside it and moved over it only when complete.
TEST(UninstallLogTest, AFailedWriteLeavesTheOldLogUntouched) {
  TempDir dir;
  const std::string path = dir.at("unins000.dat");
  const Bytes old = read_bytes(fixture("staged.dat"));
  const auto log = read_uninstall_log(utf8(fixture("staged.dat")));
  ASSERT_TRUE(log.has_value());

  const struct {
    const char* name;
    UninstallHeader header;
    std::vector<FileRec> records;
    Error error;
  } cases[] = {
      // Fails after every record was written, when the header is built.
      {"a header that does not fit",
       {std::string(70, 'x'), "", ""},
       log->records,
       Error(HeaderWriteError, "Failed to write header id to buffer")},
  };
  for (const auto& c : cases) {
    write_bytes(from_utf8(path), old);
    const auto written = write_uninstall_log(path, c.header, c.records);
    ASSERT_FALSE(written.has_value()) << c.name;
    EXPECT_EQ(error_of(written), c.error) << c.name;
    EXPECT_EQ(read_bytes(from_utf8(path)), old) << c.name;
    EXPECT_FALSE(fs::exists(from_utf8(uninstall_log_temp_path(path)))) << c.name;
  }
}

TEST(UninstallLogTest, AFailedReplaceRemovesTheTemporaryFile) {
  TempDir dir;
  // A folder where the log should be: neither a replace nor a write in place can succeed.
  fs::create_directory(dir.path() / "unins000.dat");
  fs::create_directory(dir.path() / "unins000.dat" / "inside");
  const std::string path = dir.at("unins000.dat");
  const auto written = write_uninstall_log(path, {kHeaderId, "", ""}, {});
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind(), IoError);
  EXPECT_TRUE(fs::is_directory(dir.path() / "unins000.dat" / "inside"));
  EXPECT_FALSE(fs::exists(from_utf8(uninstall_log_temp_path(path))));
}

TEST(UninstallLogTest, ALogThatSomeoneHasOpenIsStillWritten) {
  TempDir dir;
  const std::string path = dir.at("unins000.dat");
  write_bytes(from_utf8(path), read_bytes(fixture("installed.dat")));
  const auto log = read_uninstall_log(utf8(fixture("staged.dat")));
  ASSERT_TRUE(log.has_value());
  auto reader = File::open_for_reading(path);
  ASSERT_TRUE(reader.has_value());
  const auto written = write_uninstall_log(path, log->header, log->records);
  ASSERT_TRUE(written.has_value()) << written.error().display_text();
  ASSERT_TRUE(reader->close().has_value());
  EXPECT_EQ(read_bytes(from_utf8(path)), read_bytes(fixture("staged.dat")));
  EXPECT_FALSE(fs::exists(from_utf8(uninstall_log_temp_path(path))));
}

TEST(UninstallLogTest, AnUncreatableTemporaryFileChangesNothing) {
  TempDir dir;
  const std::string path = dir.at("unins000.dat");
  write_bytes(from_utf8(path), {1, 2, 3});
  fs::create_directory(from_utf8(uninstall_log_temp_path(path)));
  const auto written = write_uninstall_log(path, {kHeaderId, "", ""}, {});
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind(), IoError);
  EXPECT_EQ(read_bytes(from_utf8(path)), (Bytes{1, 2, 3}));
}

TEST(UninstallLogTest, NonAsciiPaths) {
  TempDir dir;
  const std::string path = dir.at(
      "\xC3\x9C"
      "berblick-\xE6\x97\xA5.dat");
  const auto log = read_uninstall_log(utf8(fixture("installed.dat")));
  ASSERT_TRUE(log.has_value());
  ASSERT_TRUE(write_uninstall_log(path, log->header, log->records).has_value());
  EXPECT_EQ(read_uninstall_log(path), log);
}

}  // namespace
}  // namespace vellicor
