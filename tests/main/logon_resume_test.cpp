#include "main/logon_resume.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"

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
      {W, "C:\\Apps\\Vellicor\\unins000\\updater.exe", false},
      {W, "C:\\Apps\\Vellicor-2\\updater.exe", false},
      {W, "C:\\Apps\\updater.exe", false},
      {W, "D:\\Apps\\Vellicor\\updater.exe", false},
      {W, "\\\\server\\share\\updater.exe", false},
      {P, "/opt/Vellicor/updater", true},
      {P, "/opt/Vellicor/_/bin/updater", true},
      {P, "/opt/Vellicor/tools/updater", false},
      {P, "/opt/vellicor/updater", false},  // another folder on POSIX
      {P, "/opt/Vellicor", false},
      {P, "/tmp/updater", false},
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

// POSIX: autostart entries go to a scratch configuration folder meanwhile.
class ConfigurationFolder {
 public:
  explicit ConfigurationFolder([[maybe_unused]] const std::string& folder) {
#ifndef _WIN32
    if (const char* saved = std::getenv("XDG_CONFIG_HOME")) saved_ = saved;
    setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
#endif
  }
  ~ConfigurationFolder() {
#ifndef _WIN32
    if (saved_) {
      setenv("XDG_CONFIG_HOME", saved_->c_str(), 1);
    } else {
      unsetenv("XDG_CONFIG_HOME");
    }
#endif
  }

 private:
  std::optional<std::string> saved_;
};

// What is registered; a failure to read it fails the test.
std::optional<std::string> registered(const std::string& root) {
  auto found = registered_at_logon(root);
  EXPECT_TRUE(found) << found.error().display_text();
  return found ? *found : std::nullopt;
}

// POSIX: the autostart folder of a scratch configuration folder. Windows: the user's Run key of
// the test's own Wine prefix, under a root of this test alone.
TEST(LogonResumeTest, RegistrationIsWrittenReadAndRemoved) {
  testing_support::TempDir config;
  const ConfigurationFolder configuration(config.str());
  const bool windows = native_path_style() == W;
  const std::string root =
      windows ? "C:\\VellicorUnitTest\\" + path_key(config.str()) : config.at("installation");
  const Args command = {windows ? "C:\\Temp\\updater.exe" : "/tmp/updater", root, "true",
                        "--at-logon"};

  ASSERT_EQ(registered(root), std::nullopt);
  ASSERT_TRUE(register_at_logon(root, command));
  ASSERT_TRUE(register_at_logon(root, command));  // as it was
  const auto text = registered(root);
  ASSERT_TRUE(text);
  if (windows) {
    EXPECT_EQ(*text, windows_command_line(command));
    // Longer than Windows runs at logon: refused, the registration left as it was.
    EXPECT_FALSE(register_at_logon(root, {command[0], std::string(250, 'x')}));
    EXPECT_EQ(registered(root), text);
  } else {
    EXPECT_EQ(logon_registration_place(root).value_or(""),
              config.at("autostart/vellicor-update-" + path_key(root) + ".desktop"));
    EXPECT_NE(text->find("\nExec=" + desktop_entry_exec(command).value_or("?") + "\n"),
              std::string::npos)
        << *text;
  }
  const auto first = unregister_at_logon(root);
  EXPECT_TRUE(first && *first);
  const auto second = unregister_at_logon(root);
  EXPECT_TRUE(second && !*second) << "nothing left to remove";
  EXPECT_EQ(registered(root), std::nullopt);
}

}  // namespace
}  // namespace vellicor
