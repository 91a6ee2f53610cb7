#include "main/logon_resume.hpp"
#include "update/installation.hpp"

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
    bool replaced, deleted;  // deleted: the update refuses to start
  };
  const Case cases[] = {
      {W, "C:\\Apps\\Vellicor\\updater.exe", true, true},
      {W, "c:\\apps\\VELLICOR\\resources\\updater.exe", true, true},  // letter case does not count
      {W, "C:\\Apps\\Vellicor\\_\\updater.exe", true, false},         // moved into the root
      {W, "C:\\Apps\\Vellicor\\Tools\\updater.exe", false, false},    // kept
      {W, "C:\\Apps\\Vellicor-2\\updater.exe", false, false},
      {W, "D:\\Apps\\Vellicor\\updater.exe", false, false},
      {P, "/opt/Vellicor/_/bin/updater", true, false},
      {P, "/opt/Vellicor/lib/updater", true, true},
      {P, "/opt/Vellicor/tools/updater", false, false},
      {P, "/opt/vellicor/updater", false, false},  // another folder on POSIX
  };
  for (const auto& c : cases) {
    const std::string root = c.style == W ? "C:\\Apps\\Vellicor" : "/opt/Vellicor";
    EXPECT_EQ(replaced_by_update(root, c.path, c.style), c.replaced) << c.path;
    EXPECT_EQ(deleted_by_update(root, c.path, c.style), c.deleted) << c.path;
  }
}

// What another user could change on the way to the updater, which the logon would then run.
TEST(LogonResumeTest, OnlyTheUserAndRootMayChangeTheWayToARegisteredUpdater) {
  constexpr uint32_t kUser = 1000, kOther = 1001;
  struct Case {
    uint32_t mode, owner;
    const char* why;  // "" when none
  };
  const Case cases[] = {
      {0040755, kUser, ""},
      {0040700, 0, ""},
      {0040775, 0, ""},  // root's group-writable folder (/usr/local)
      {0040775, kUser, "may be written by others"},
      {0041777, 0, "may be written by others"},  // sticky: a name freed may be taken
      {0100757, kUser, "may be written by others"},
      {0040755, kOther, "belongs to another user"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(why_others_could_change(c.mode, c.owner, kUser).value_or(""), c.why)
        << std::oct << c.mode << " " << std::dec << c.owner;
  }
}

TEST(LogonResumeTest, CommandLinesAreQuotedAsTheyAreSplitAgain) {
  struct Case {
    Args args;
    std::string windows;  // CommandLineToArgvW's rules
    std::string exec;     // a desktop entry's Exec value, or "(failed)"
  };
  const Case cases[] = {
      {{"/opt/u", "/opt/My Apps/V", "true", "--at-logon"},
       "\"/opt/u\" \"/opt/My Apps/V\" true --at-logon",
       R"("/opt/u" "/opt/My Apps/V" "true" "--at-logon")"},
      // Backslashes count only before a quote, the closing one included. Desktops read a
      // backslash in an Exec line differently (GLib as the Desktop Entry format says, systemd's
      // autostart generator not at all), so an entry cannot hold one.
      {{"u", "a\\\"b", "C:\\dir with space\\"},
       R"("u" "a\\\"b" "C:\dir with space\\")",
       "(failed)"},
      {{"C:\\u.exe", "C:\\Apps\\V.exe", ""}, "\"C:\\u.exe\" C:\\Apps\\V.exe \"\"", "(failed)"},
      {{"/opt/u", "$HOME`x`", "100%", "tab\there", "line\nbreak", "say \"hi\""},
       "\"/opt/u\" $HOME`x` 100% \"tab\there\" \"line\nbreak\" \"say \\\"hi\\\"\"",
       R"("/opt/u" "\\$HOME\\`x\\`" "100%%" "tab\there" "line\nbreak" "say \\"hi\\"")"},
      // Both GLib and systemd look for the program before they undo "%%".
      {{"/opt/100%/u", "x"}, "\"/opt/100%/u\" x", "(failed)"},
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
