#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "logging/logger.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"

namespace vellicor {
namespace {

using testing_support::from_utf8;
using testing_support::starts_with_timestamp;
using testing_support::TempDir;

std::string read_all(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> physical_lines(const std::string& content) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < content.size()) {
    const size_t end = content.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(content.substr(start));
      break;
    }
    lines.push_back(content.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

TEST(LogFileTest, HoldsOneLineFeedEndedLinePerRecordInOrder) {
  TempDir dir;
  const std::string path = dir.at("vellicor-updater-1.log");
  auto file = create_log_file(path);
  ASSERT_TRUE(file.has_value()) << file.error().display_text();
  auto logger = create_logger(std::move(*file));
  log_info(*logger, "Starting: a, b");
  log_warning(*logger, "first\nsecond");
  log(*logger, LogLevel::Error, "", {LogPair{"count", 2}});
  log_info(*logger, "Update was successful!");
  release_logger(std::move(logger));

  const std::string content = read_all(dir.path() / "vellicor-updater-1.log");
  EXPECT_EQ(content.find('\r'), std::string::npos);
  EXPECT_TRUE(content.ends_with('\n'));
  const auto lines = physical_lines(content);
  ASSERT_EQ(lines.size(), 5u) << content;
  const char* expected[] = {"INFO Starting: a, b", "WARN first", nullptr, "ERRO count: 2",
                            "INFO Update was successful!"};
  for (size_t i = 0; i < lines.size(); ++i) {
    if (expected[i] == nullptr) {
      // The continuation of a message with a line break has no timestamp of its own.
      EXPECT_EQ(lines[i], "second");
      continue;
    }
    EXPECT_TRUE(starts_with_timestamp(lines[i])) << lines[i];
    EXPECT_EQ(testing_support::strip_timestamp(lines[i]), expected[i]);
  }
}

// Two runs in the same second share the name: the second keeps what the first wrote.
TEST(LogFileTest, AppendsToAnExistingFile) {
  TempDir dir;
  dir.write_file("run.log", std::string(10000, 'x') + "\n");
  auto file = create_log_file(dir.at("run.log"));
  ASSERT_TRUE(file.has_value()) << file.error().display_text();
  auto logger = create_logger(std::move(*file));
  log_info(*logger, "second run");
  release_logger(std::move(logger));
  const auto lines = physical_lines(read_all(dir.path() / "run.log"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(10000, 'x'));
  EXPECT_EQ(testing_support::strip_timestamp(lines[1]), "INFO second run");
}

TEST(LogFileTest, CanBeReadAndDeletedWhileTheLoggerHoldsIt) {
  TempDir dir;
  auto file = create_log_file(dir.at("open.log"));
  ASSERT_TRUE(file.has_value()) << file.error().display_text();
  auto sink = std::move(*file);
  ASSERT_TRUE(sink->write_lines("Jan 01 00:00:00.000 INFO one\n").has_value());
  // Each line is in the file as soon as it was written: there is no buffer of our own.
  EXPECT_EQ(read_all(dir.path() / "open.log"), "Jan 01 00:00:00.000 INFO one\n");
  std::error_code error;
  EXPECT_TRUE(std::filesystem::remove(dir.path() / "open.log", error)) << error.message();
  EXPECT_TRUE(sink->write_lines("Jan 01 00:00:00.000 INFO two\n").has_value());
}

TEST(LogFileTest, ANameThatCannotBeCreatedIsAnIoError) {
  TempDir dir;
  const std::string bad_paths[] = {dir.at("missing/run.log"), dir.str(),
                                   dir.at("run") + std::string(1, '\0') + ".log"};
  for (const auto& path : bad_paths) {
    const auto file = create_log_file(path);
    ASSERT_FALSE(file.has_value()) << path;
    EXPECT_EQ(file.error().kind(), IoError);
    EXPECT_NE(file.error().display_text().find("(os error "), std::string::npos)
        << file.error().display_text();
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "run"));
}

}  // namespace
}  // namespace vellicor
