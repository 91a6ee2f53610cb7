#include "base/file.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/buffered_io.hpp"
#include "base/fs.hpp"
#include "support/error_printing.hpp"
#include "support/temp_dir.hpp"

namespace vellicor {
namespace {

using testing_support::TempDir;
namespace fs = std::filesystem;

std::string content_of(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string pattern(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i)
    text[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  return text;
}

TEST(FileTest, OpeningAMissingFileIsThePlatformsError) {
  TempDir dir;
  const auto file = File::open_for_reading(dir.at("missing"));
  ASSERT_FALSE(file.has_value());
  EXPECT_EQ(file.error().kind(), IoError);
  EXPECT_EQ(file.error().os_code(), 2);  // ENOENT, ERROR_FILE_NOT_FOUND
  EXPECT_NE(file.error().display_text().find(" (os error 2)"), std::string::npos);
  EXPECT_FALSE(File::create_for_writing(dir.at("no/such/folder/file")).has_value());
}

TEST(FileTest, WritesSeeksAndReads) {
  TempDir dir;
  const std::string path = dir.at("f.bin");
  dir.write_file("f.bin", "old content that is longer");
  {
    auto file = File::create_for_writing(path);
    ASSERT_TRUE(file.has_value()) << file.error().display_text();
    EXPECT_EQ(file->size(), 0u);  // truncated
    ASSERT_TRUE(file->seek(4).has_value());
    EXPECT_EQ(file->write("tail", 4), 4u);
    EXPECT_EQ(file->position(), 8u);
    ASSERT_TRUE(file->seek(0).has_value());
    EXPECT_EQ(file->write("head", 4), 4u);
    ASSERT_TRUE(file->flush().has_value());
    ASSERT_TRUE(file->close().has_value());
    EXPECT_FALSE(file->is_open());
  }
  EXPECT_EQ(content_of(dir.path() / "f.bin"), "headtail");

  auto file = File::open_for_reading(path);
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(file->size(), 8u);
  char buffer[16] = {};
  EXPECT_EQ(file->read(buffer, sizeof buffer), 8u);
  EXPECT_EQ(std::string(buffer, 8), "headtail");
  EXPECT_EQ(file->read(buffer, sizeof buffer), 0u);  // the end
  EXPECT_FALSE(file->write("x", 1).has_value());     // opened for reading only
}

TEST(FileTest, OthersMayReadWriteAndDeleteMeanwhile) {
  TempDir dir;
  const std::string path = dir.at("shared.bin");
  dir.write_file("shared.bin", "abc");
  auto reader = File::open_for_reading(path);
  ASSERT_TRUE(reader.has_value());
  auto second = File::open_for_reading(path);
  EXPECT_TRUE(second.has_value());
  auto writer = File::create_for_writing(dir.at("other.bin"));
  ASSERT_TRUE(writer.has_value());
  EXPECT_TRUE(File::open_for_reading(dir.at("other.bin")).has_value());
  // A file that is open for reading can still be renamed and deleted.
  EXPECT_TRUE(rename_replacing(path, dir.at("renamed.bin")).has_value());
  EXPECT_TRUE(remove_file(dir.at("renamed.bin")).has_value());
}

TEST(FileTest, RemoveDeletesAndReportsAMissingFile) {
  TempDir dir;
  dir.write_file("b", "old");
  ASSERT_TRUE(remove_file(dir.at("b")).has_value());
  EXPECT_FALSE(fs::exists(dir.path() / "b"));
  EXPECT_EQ(error_of(remove_file(dir.at("b"))).value_or(Error(OtherError, "")).os_code(), 2);
}

// One rule says what "no flush here" is, for a file's flush and a folder's alike: the answers of
// a file system that keeps no flush for the entry are taken as done, and never a failure of the
// device, which loses what it held (a FlushError).
TEST(FileTest, NoFlushHereIsTheFileSystemsAnswerAndNeverAFailureOfTheDevice) {
  struct Case {
    int code;
    bool not_supported;
  };
#ifdef _WIN32
  const Case cases[] = {
      {1, true},      // ERROR_INVALID_FUNCTION (STATUS_INVALID_DEVICE_REQUEST)
      {50, true},     // ERROR_NOT_SUPPORTED
      {29, false},    // ERROR_WRITE_FAULT
      {112, false},   // ERROR_DISK_FULL
      {1117, false},  // ERROR_IO_DEVICE
      {87, false},    // ERROR_INVALID_PARAMETER
      {5, false},     // ERROR_ACCESS_DENIED
      {6, false},     // ERROR_INVALID_HANDLE
  };
#else
  const Case cases[] = {
      {EINVAL, true},  {EROFS, true},   {ENOTSUP, true}, {EOPNOTSUPP, true}, {EIO, false},
      {ENOSPC, false}, {EDQUOT, false}, {EBADF, false},  {EINTR, false},
  };
#endif
  for (const auto& c : cases) {
    EXPECT_EQ(flush_not_supported(c.code), c.not_supported) << c.code;
  }
}

TEST(BufferedIoTest, ReadsExactlyAcrossRefillsAndLargeRequests) {
  TempDir dir;
  const std::string content = pattern(40000);
  dir.write_file("in.bin", content);
  auto file = File::open_for_reading(dir.at("in.bin"));
  ASSERT_TRUE(file.has_value());
  BufferedReader reader(*file);
  std::string back;
  for (size_t piece : {0, 1, 4, 8191, 3, 12, 20000, 7000}) {
    std::string part(piece, '\0');
    ASSERT_TRUE(reader.read_exact(part.data(), piece).has_value()) << piece;
    back += part;
  }
  std::string rest(content.size() - back.size(), '\0');
  ASSERT_TRUE(reader.read_exact(rest.data(), rest.size()).has_value());
  EXPECT_EQ(back + rest, content);
  char one;
  EXPECT_EQ(error_of(reader.read_exact(&one, 1)), Error(IoError, kUnexpectedEof));
}

TEST(BufferedIoTest, AShortFileIsAnUnexpectedEnd) {
  TempDir dir;
  dir.write_file("short.bin", pattern(447));
  auto file = File::open_for_reading(dir.at("short.bin"));
  ASSERT_TRUE(file.has_value());
  BufferedReader reader(*file);
  std::string buffer(448, '\0');
  EXPECT_EQ(error_of(reader.read_exact(buffer.data(), buffer.size())),
            Error(IoError, kUnexpectedEof));
}

TEST(BufferedIoTest, WritesReachTheFileOnFlushInOrder) {
  TempDir dir;
  auto file = File::create_for_writing(dir.at("out.bin"));
  ASSERT_TRUE(file.has_value());
  const std::string content = pattern(30000);
  {
    BufferedWriter writer(*file);
    size_t at = 0;
    for (size_t piece : {0, 5, 8187, 1, 9000, 12}) {
      ASSERT_TRUE(writer.write_all(content.data() + at, piece).has_value());
      at += piece;
    }
    // Small writes wait in the buffer.
    EXPECT_LT(content_of(dir.path() / "out.bin").size(), at);
    ASSERT_TRUE(writer.write_all(content.data() + at, content.size() - at).has_value());
    ASSERT_TRUE(writer.flush().has_value());
  }
  EXPECT_EQ(content_of(dir.path() / "out.bin"), content);
}

TEST(BufferedIoTest, AWriteThatTakesNothingFails) {
  TempDir dir;
  dir.write_file("ro.bin", "x");
  auto file = File::open_for_reading(dir.at("ro.bin"));  // cannot be written
  ASSERT_TRUE(file.has_value());
  BufferedWriter writer(*file);
  ASSERT_TRUE(writer.write_all("abc", 3).has_value());  // only buffered
  const auto flushed = writer.flush();
  ASSERT_FALSE(flushed.has_value());
  EXPECT_EQ(flushed.error().kind(), IoError);
  EXPECT_TRUE(flushed.error().os_code().has_value());
}

}  // namespace
}  // namespace vellicor
