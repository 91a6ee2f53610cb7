#include "main/update_arguments.hpp"

#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

namespace vellicor {
namespace {

using testing_support::TempDir;

std::string error_text(const Status& status) {
  return status ? "(success)" : status.error().display_text();
}

TEST(UpdateArgumentsTest, RelativeCodePathIsRefusedWithTheArgumentUnchanged) {
  for (const std::string path : {"Vellicor.exe", "dir/Vellicor.exe", "", "-v"}) {
    const auto status = check_code_path_absolute(path);
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().kind(), ArgumentError);
    EXPECT_EQ(error_text(status),
              "Bad arguments: Code path needs to be absolute. Instead got: " + path);
  }
}

TEST(UpdateArgumentsTest, ExistingFilesAndDirectoriesPassTheExistenceCheck) {
  TempDir dir;
  dir.write_file("Vellicor.exe", "MZ");
  EXPECT_TRUE(check_code_path_absolute(dir.at("Vellicor.exe")));
  EXPECT_TRUE(check_code_path_exists(dir.at("Vellicor.exe")));
  EXPECT_TRUE(check_code_path_exists(dir.str()));

  const std::string missing = dir.at("missing.exe");
  EXPECT_EQ(error_text(check_code_path_exists(missing)),
            "Bad arguments: Code path doesn't seem to exist: " + missing);

  // An update cut short after it deleted the executable: the same command finishes it.
  EXPECT_TRUE(check_code_path_exists(missing, true));
}

TEST(UpdateArgumentsTest, SilentFlagIsExactlyTrueOrFalse) {
  EXPECT_EQ(parse_silent_flag("true"), true);
  EXPECT_EQ(parse_silent_flag("false"), false);
  for (const std::string flag : {"True", "TRUE", "1", "0", "", " true", "false ", "yes"}) {
    const auto silent = parse_silent_flag(flag);
    ASSERT_FALSE(silent) << flag;
    EXPECT_EQ(silent.error().display_text(),
              "Bad arguments: Silent needs to be true or false. Instead got: " + flag);
  }
}

TEST(UpdateArgumentsTest, ChecksRunInOrderAndTheFirstFailureWins) {
  TempDir dir;
  dir.write_file("app.exe");
  const std::string missing = dir.at("gone.exe");

  auto result = validate_update_arguments("app.exe", "maybe");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), "Code path needs to be absolute. Instead got: app.exe");

  result = validate_update_arguments(missing, "maybe");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), "Code path doesn't seem to exist: " + missing);

  result = validate_update_arguments(dir.at("app.exe"), "maybe");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), "Silent needs to be true or false. Instead got: maybe");

  result = validate_update_arguments(dir.at("app.exe"), "true");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->code_path, dir.at("app.exe"));
  EXPECT_TRUE(result->silent);
}

}  // namespace
}  // namespace vellicor
