#include "main/command_line.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vellicor {
namespace {

using Args = std::vector<std::string>;

TEST(CommandLineTest, ChoosesTheModeByCountAndFirstArgument) {
  struct Case {
    Args args;
    Mode mode;
  };
  const Case cases[] = {
      {{"u.exe", "--parse", "unins000.dat"}, Mode::Dump},
      {{"u.exe", "--error", "x"}, Mode::FailureBoxDemo},
      {{"u.exe", "--gui"}, Mode::ProgressWindowDemo},
      {{"u.exe", "--retry-simulation"}, Mode::RetrySimulation},
      {{"u.exe", "-v"}, Mode::Version},
      {{"u.exe", "--version"}, Mode::Version},
      {{"u.exe", "--check", "C:\\a\\a.exe"}, Mode::Check},
      {{"u.exe", "--check"}, Mode::Check},  // its own bad usage, exit 2
      {{"u.exe", "--check", "a", "true"}, Mode::Check},
      // Counts that do not fit the option fall through to the positional mode.
      {{"u.exe", "--parse"}, Mode::Positional},
      {{"u.exe", "--parse", "a", "b"}, Mode::Positional},
      {{"u.exe", "--error"}, Mode::Positional},
      {{"u.exe", "--gui", "x"}, Mode::Positional},
      {{"u.exe", "-v", "x"}, Mode::Positional},
      {{"u.exe", "--retry-simulation", "x"}, Mode::Positional},
      // Exact, case-sensitive comparison, no abbreviations or "=" forms.
      {{"u.exe", "--VERSION"}, Mode::Positional},
      {{"u.exe", "-V"}, Mode::Positional},
      {{"u.exe", "--vers"}, Mode::Positional},
      {{"u.exe", "--parse=x"}, Mode::Positional},
      {{"u.exe", "--Parse", "x"}, Mode::Positional},
      {{"u.exe"}, Mode::Positional},
      {{}, Mode::Positional},
      {{"u.exe", "x"}, Mode::Positional},
      {{"u.exe", "D:\\App\\Vellicor.exe", "true"}, Mode::Positional},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(choose_mode(c.args), c.mode) << testing::PrintToString(c.args);
  }
}

TEST(CommandLineTest, PositionalFilterDropsEveryDoubleDashArgument) {
  struct Case {
    Args args;
    Args kept;
  };
  const Case cases[] = {
      {{"u.exe", "D:\\App\\Vellicor.exe", "true", "--gui"},
       {"u.exe", "D:\\App\\Vellicor.exe", "true"}},
      {{"u.exe", "--gui", "D:\\App\\Vellicor.exe", "true"},
       {"u.exe", "D:\\App\\Vellicor.exe", "true"}},
      {{"--u.exe", "a", "b"}, {"a", "b"}},  // element 0 is filtered too
      {{"u.exe", "--parse"}, {"u.exe"}},
      {{"u.exe", "-v", "x"}, {"u.exe", "-v", "x"}},  // one dash stays
      {{"u.exe", "--", "x"}, {"u.exe", "x"}},
      {{"u.exe", "a-", "-", "x--"}, {"u.exe", "a-", "-", "x--"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(remove_double_dash_arguments(c.args), c.kept) << testing::PrintToString(c.args);
  }
}

TEST(CommandLineTest, LogFileNameAndVersionLine) {
  EXPECT_EQ(log_file_name(1765094400), "vellicor-updater-1765094400.log");
  EXPECT_EQ(log_file_name(0), "vellicor-updater-0.log");
  EXPECT_EQ(version_line(), "Vellicor Update v" VELLICOR_VERSION_TEXT "\n");
}

}  // namespace
}  // namespace vellicor
