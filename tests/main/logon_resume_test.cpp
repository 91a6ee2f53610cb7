#include "main/logon_resume.hpp"
#include "update/installation.hpp"

#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
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

// An access control list as the kernel gives it: version 2, then tag, permissions and id.
std::string acl(std::initializer_list<std::array<uint32_t, 3>> entries) {
  std::string bytes = {2, 0, 0, 0};
  for (const auto& [tag, perm, id] : entries) {
    for (const uint32_t value : {tag, perm})
      bytes += {static_cast<char>(value), static_cast<char>(value >> 8)};
    for (int shift = 0; shift < 32; shift += 8)
      bytes += static_cast<char>(id >> shift);
  }
  return bytes;
}

// What another user could change on the way to the updater, which the logon would then run.
TEST(LogonResumeTest, OnlyTheUserAndRootMayChangeTheWayToARegisteredUpdater) {
  constexpr uint32_t kUser = 1000, kOther = 1001, kStaff = 50;
  constexpr uint32_t kUserObj = 1, kNamedUser = 2, kGroupObj = 4, kNamedGroup = 8, kMask = 16,
                     kOthers = 32;
  struct Case {
    uint32_t mode, owner, group;
    std::string acl;
    const char* why;  // "" when none
  };
  const Case cases[] = {
      {0040755, kUser, kUser, "", ""},
      {0040700, 0, 0, "", ""},
      {0040775, 0, 0, "", ""},  // root's group: the system's alone
      {0042775, 0, kStaff, "", "may be written by others"},  // /usr/local: the staff group
      {0040775, kUser, kUser, "", "may be written by others"},
      {0041777, 0, 0, "", "may be written by others"},  // sticky: a name freed may be taken
      {0100757, kUser, kUser, "", "may be written by others"},
      {0040755, kOther, kOther, "", "belongs to another user"},
      // The mode's group bits show the mask; the list tells who may write.
      {0040775, 0, 0, acl({{kUserObj, 7, 0}, {kNamedUser, 7, 4242}, {kGroupObj, 5, 0},
                          {kMask, 7, 0}, {kOthers, 5, 0}}),
       "may be written by others through its access control list"},
      {0040775, 0, 0, acl({{kUserObj, 7, 0}, {kNamedGroup, 7, kStaff}, {kGroupObj, 5, 0},
                          {kMask, 7, 0}, {kOthers, 5, 0}}),
       "may be written by others through its access control list"},
      {0040755, 0, 0, acl({{kUserObj, 7, 0}, {kNamedUser, 7, 4242}, {kGroupObj, 5, 0},
                          {kMask, 5, 0}, {kOthers, 5, 0}}),
       ""},  // the mask takes the write away
      {0040775, kUser, kUser, acl({{kUserObj, 7, 0}, {kNamedUser, 7, kUser}, {kGroupObj, 5, 0},
                                  {kNamedGroup, 7, 0}, {kMask, 7, 0}, {kOthers, 5, 0}}),
       ""},  // the user, and root's group
      {0040755, 0, 0, "\x02\x00", "has an access control list that cannot be read"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(why_others_could_change(c.mode, c.owner, c.group, kUser, c.acl).value_or(""),
              c.why)
        << std::oct << c.mode << " " << std::dec << c.owner << " " << c.group << " "
        << c.acl.size();
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
      {{"/opt/u", "100%", "tab\there", "line\nbreak", "say \"hi\""},
       "\"/opt/u\" 100% \"tab\there\" \"line\nbreak\" \"say \\\"hi\\\"\"",
       R"("/opt/u" "100%%" "tab\there" "line\nbreak" "say \\"hi\\"")"},
      // Escaped as the format says, "$" and "`" reach systemd's generator's command as they are.
      {{"/opt/u", "$HOME"}, "\"/opt/u\" $HOME", "(failed)"},
      {{"/opt/u", "`x`"}, "\"/opt/u\" `x`", "(failed)"},
      // The format forbids "=" in the program's path.
      {{"/opt/a=b/u", "x"}, "\"/opt/a=b/u\" x", "(failed)"},
      {{"/opt/u", "a=b"}, "\"/opt/u\" a=b", R"("/opt/u" "a=b")"},
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
