#include "main/logon_resume.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vellicor {
namespace {

using Args = std::vector<std::string>;
constexpr auto W = PathStyle::Windows;
constexpr auto P = PathStyle::Posix;

TEST(LogonResumeTest, TheUpdaterMayNotLieWhereTheUpdateDeletesOrMoves) {
  struct Case {
    PathStyle style;
    std::string path;
    bool replaced;
  };
  const Case cases[] = {
      {W, "C:\\Apps\\Vellicor\\updater.exe", true},
      {W, "c:\\apps\\VELLICOR\\resources\\updater.exe", true},  // letter case does not count
      {W, "C:\\Apps\\Vellicor\\_\\updater.exe", true},          // moved into the root
      {W, "C:\\Apps\\Vellicor\\Tools\\updater.exe", false},     // kept
      {W, "C:\\Apps\\Vellicor-2\\updater.exe", false},
      {W, "D:\\Apps\\Vellicor\\updater.exe", false},
      {P, "/opt/Vellicor/_/bin/updater", true},
      {P, "/opt/Vellicor/tools/updater", false},
      {P, "/opt/vellicor/updater", false},  // another folder on POSIX
  };
  for (const auto& c : cases) {
    const std::string root = c.style == W ? "C:\\Apps\\Vellicor" : "/opt/Vellicor";
    EXPECT_EQ(replaced_by_update(root, c.path, c.style), c.replaced) << c.path;
  }
}

TEST(LogonResumeTest, CommandLinesAreQuotedAsTheyAreSplitAgain) {
  struct Case {
    Args args;
    std::string windows;  // CommandLineToArgvW's rules
    std::string exec;     // a desktop entry's Exec value
  };
  const Case cases[] = {
      {{"C:\\u.exe", "C:\\Apps\\V.exe", "true", "--at-logon"},
       "\"C:\\u.exe\" C:\\Apps\\V.exe true --at-logon",
       R"("C:\\\\u.exe" "C:\\\\Apps\\\\V.exe" "true" "--at-logon")"},
      {{"C:\\My Apps\\u.exe", "C:\\My Apps\\V.exe", ""},
       "\"C:\\My Apps\\u.exe\" \"C:\\My Apps\\V.exe\" \"\"",
       R"("C:\\\\My Apps\\\\u.exe" "C:\\\\My Apps\\\\V.exe" "")"},
      // Backslashes count only before a quote, the closing one included.
      {{"u", "a\\\"b", "C:\\dir with space\\"},
       R"("u" "a\\\"b" "C:\dir with space\\")",
       R"("u" "a\\\\\\"b" "C:\\\\dir with space\\\\")"},
      {{"/opt/u", "$HOME`x`", "100%", "tab\there", "line\nbreak"},
       "\"/opt/u\" $HOME`x` 100% \"tab\there\" \"line\nbreak\"",
       R"("/opt/u" "\\$HOME\\`x\\`" "100%%" "tab\there" "line\nbreak")"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(windows_command_line(c.args), c.windows) << testing::PrintToString(c.args);
    EXPECT_EQ(desktop_entry_exec(c.args).value_or("(failed)"), c.exec)
        << testing::PrintToString(c.args);
  }
  EXPECT_FALSE(desktop_entry_exec({"/opt/u", "bell\a"}));
  EXPECT_FALSE(desktop_entry_exec({"/opt/u", "not UTF-8 \xFF"}));
}

// Windows documents no run at logon for a longer command; refused before anything is written.
TEST(LogonResumeTest, CommandsLongerThanWindowsRunsAreRefused) {
  if (native_path_style() != W) GTEST_SKIP() << "a limit of Windows";
  const auto refused =
      register_at_logon("C:\\Apps\\Vellicor", {"C:\\u.exe", std::string(250, 'x')});
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().display_text().starts_with("Windows runs no command longer than"));
}

}  // namespace
}  // namespace vellicor
