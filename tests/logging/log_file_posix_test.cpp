#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "logging/logger.hpp"
#include "support/temp_dir.hpp"

namespace vellicor {
namespace {

using testing_support::TempDir;

mode_t mode_of(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

TEST(LogFilePosixTest, IsPrivateToTheUser) {
  TempDir dir;
  const mode_t old_mask = ::umask(0);
  auto file = create_log_file(dir.at("new.log"));
  ::umask(old_mask);
  ASSERT_TRUE(file.has_value()) << file.error().display_text();
  EXPECT_EQ(mode_of(dir.at("new.log")), 0600u);
}

TEST(LogFilePosixTest, AnExistingFileBecomesPrivate) {
  TempDir dir;
  dir.write_file("old.log", "old content\n");
  ASSERT_EQ(::chmod(dir.at("old.log").c_str(), 0666), 0);
  auto file = create_log_file(dir.at("old.log"));
  ASSERT_TRUE(file.has_value()) << file.error().display_text();
  EXPECT_EQ(mode_of(dir.at("old.log")), 0600u);
  EXPECT_EQ(std::filesystem::file_size(dir.path() / "old.log"), 12u);  // kept, not truncated
}

TEST(LogFilePosixTest, NeverFollowsALinkAtItsName) {
  TempDir dir;
  dir.write_file("target.txt", "precious\n");
  ASSERT_EQ(::symlink(dir.at("target.txt").c_str(), dir.at("run.log").c_str()), 0);
  const auto file = create_log_file(dir.at("run.log"));
  ASSERT_FALSE(file.has_value());
  EXPECT_EQ(file.error().kind(), IoError);
  std::ifstream in(dir.path() / "target.txt");
  std::ostringstream content;
  content << in.rdbuf();
  EXPECT_EQ(content.str(), "precious\n");
}

TEST(LogFilePosixTest, RefusesAFifoWithoutWaitingForAReader) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.at("run.log").c_str(), 0600), 0);
  const auto file = create_log_file(dir.at("run.log"));
  ASSERT_FALSE(file.has_value());
  EXPECT_EQ(file.error().kind(), IoError);
}

}  // namespace
}  // namespace vellicor
