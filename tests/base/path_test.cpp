#include "base/path.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "base/utf.hpp"
#include "support/name_volume.hpp"

namespace vellicor {
namespace {

constexpr auto W = PathStyle::Windows;
constexpr auto P = PathStyle::Posix;
const std::optional<std::string> kNone = std::nullopt;

struct OneArgCase {
  PathStyle style;
  std::string path;
  std::optional<std::string> expected;
};

std::string describe(const OneArgCase& c) {
  return std::string(c.style == W ? "windows " : "posix ") + "'" + c.path + "'";
}

TEST(PathTest, Parent) {
  const OneArgCase cases[] = {
      {W, R"(C:\Apps\Vellicor\_)", R"(C:\Apps\Vellicor)"},
      {W, R"(C:\Apps\Vellicor\Vellicor.exe)", R"(C:\Apps\Vellicor)"},
      {W, R"(C:\Apps\)", R"(C:\)"},
      {W, R"(C:\Apps)", R"(C:\)"},
      {W, R"(C:/Apps//x/)", R"(C:/Apps)"},
      {W, R"(C:\a\.\b)", R"(C:\a)"},
      {W, R"(C:\a\..)", R"(C:\a)"},
      {W, R"(C:\)", kNone},
      {W, R"(C:)", kNone},
      {W, R"(C:x)", R"(C:)"},
      {W, R"(D:\)", kNone},
      {W, R"(\\server\share)", kNone},
      {W, R"(\\server\share\)", kNone},
      {W, R"(\\server\share\a\b.exe)", R"(\\server\share\a)"},
      {W, R"(\\server\share\a)", R"(\\server\share\)"},
      {W, R"(\\?\C:\a\b)", R"(\\?\C:\a)"},
      {W, R"(\\?\C:\)", kNone},
      {W, R"(\\?\UNC\server\share\a)", R"(\\?\UNC\server\share\)"},
      {W, R"(\\?\UNC\server\share)", kNone},
      {W, R"(\\.\pipe\x)", R"(\\.\pipe\)"},
      {W, R"(\\.\COM1)", kNone},
      {W, R"(name)", ""},
      {W, R"(.\name)", "."},
      {W, "", kNone},
      {P, "/opt/vellicor/_", "/opt/vellicor"},
      {P, "/opt/", "/"},
      {P, "/", kNone},
      {P, "//", kNone},
      {P, "a/b/", "a"},
      {P, "./a", "."},
      {P, "a", ""},
      {P, R"(C:\a\b)", ""},  // backslashes are ordinary characters on POSIX
  };
  for (const auto& c : cases)
    EXPECT_EQ(parent_path(c.path, c.style), c.expected) << describe(c);
}

TEST(PathTest, FileName) {
  const OneArgCase cases[] = {
      {W, R"(C:\Apps\Vellicor\Vellicor.exe)", "Vellicor.exe"},
      {W, R"(C:\Apps\Vellicor\)", "Vellicor"},
      {W, R"(C:\Apps\Vellicor\.)", "Vellicor"},
      {W, R"(C:/Apps/x.exe)", "x.exe"},
      {W, R"(C:\Apps\..)", kNone},
      {W, R"(D:\)", kNone},
      {W, R"(D:)", kNone},
      {W, R"(\\server\share)", kNone},
      {W, R"(\\server\share\f)", "f"},
      {W, R"(\\?\C:\a\.)", kNone},  // "." stays a component under a verbatim prefix
      {W, R"(\\?\C:\a/b)", "a/b"},  // "/" is no separator under a verbatim prefix
      {W, R"(\\.\COM1)", kNone},
      {W, "", kNone},
      {P, "/usr/bin/env", "env"},
      {P, "/usr/bin/", "bin"},
      {P, "/", kNone},
      {P, "..", kNone},
      {P, ".", kNone},
  };
  for (const auto& c : cases)
    EXPECT_EQ(path_file_name(c.path, c.style), c.expected) << describe(c);
}

TEST(PathTest, Join) {
  struct Case {
    PathStyle style;
    std::string base, name, expected;
  };
  const Case cases[] = {
      {W, R"(C:\Apps)", "_", R"(C:\Apps\_)"},
      {W, R"(C:\Apps\)", "_", R"(C:\Apps\_)"},
      {W, R"(C:/Apps/)", "_", R"(C:/Apps/_)"},
      {W, R"(C:\)", "x", R"(C:\x)"},
      {W, R"(C:)", "x", R"(C:x)"},
      {W, "", "x", "x"},
      {W, R"(\\server\share)", "x", R"(\\server\share\x)"},
      {W, R"(\\?\C:\a/)", "x", R"(\\?\C:\a/\x)"},  // "/" is no separator under a verbatim prefix
      {P, "/opt", "x", "/opt/x"},
      {P, "/", "x", "/x"},
      {P, "", "x", "x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(join_path(c.base, c.name, c.style), c.expected) << c.base << " + " << c.name;
  }
}

TEST(PathTest, IsAbsolute) {
  struct Case {
    PathStyle style;
    std::string path;
    bool absolute;
  };
  const Case cases[] = {
      {W, R"(D:\App\Vellicor.exe)", true},
      {W, R"(D:/App/Vellicor.exe)", true},
      {W, R"(d:\)", true},
      {W, R"(D:)", false},
      {W, R"(D:dir\x.exe)", false},
      {W, R"(\dir\x.exe)", false},
      {W, R"(/dir/x.exe)", false},
      {W, R"(dir\x.exe)", false},
      {W, "", false},
      {W, R"(\\server\share)", true},
      {W, R"(\\server\share\x.exe)", true},
      {W, R"(\\server/share/x.exe)", true},
      {W, R"(\\server)", false},
      {W, R"(//server/share/x.exe)", false},
      {W, R"(\\?\C:\x.exe)", true},
      {W, R"(\\?\C:)", true},
      {W, R"(\\?\UNC\server\share\x)", true},
      {W, R"(\\?\Volume{1234}\x)", true},
      {W, R"(\\.\COM1)", true},
      {W, R"(1:\x)", false},
      {P, "/opt/x", true},
      {P, "opt/x", false},
      {P, R"(C:\x)", false},
      {P, "", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(is_absolute_path(c.path, c.style), c.absolute) << c.path;
}

TEST(PathTest, Equality) {
  struct Case {
    PathStyle style;
    std::string a, b;
    bool equal;
  };
  const Case cases[] = {
      {W, R"(C:\Apps\Vellicor.exe)", R"(C:\Apps\Vellicor.exe)", true},
      {W, R"(C:\Apps\Vellicor.exe)", R"(c:\Apps\Vellicor.exe)", true},
      {W, R"(C:\Apps\Vellicor.exe)", R"(C:/Apps/Vellicor.exe)", true},
      {W, R"(C:\Apps\Vellicor.exe)", R"(C:\\Apps\\\Vellicor.exe)", true},
      {W, R"(C:\Apps\Vellicor.exe)", R"(C:\.\Apps\.\Vellicor.exe\.)", true},
      {W, R"(C:\Apps\)", R"(C:\Apps)", true},
      {W, R"(C:\Apps\Vellicor.exe)", R"(C:\apps\Vellicor.exe)", false},
      {W, R"(C:\Apps\Vellicor.exe)", R"(C:\Apps\vellicor.exe)", false},
      {W, R"(C:\Apps\Vellicor.exe)", R"(D:\Apps\Vellicor.exe)", false},
      {W, R"(C:\Apps\x\..\Vellicor.exe)", R"(C:\Apps\Vellicor.exe)", false},
      {W, R"(C:\Apps)", R"(C:Apps)", false},
      {W, R"(\\server\share\a)", R"(\\server\share\a)", true},
      {W, R"(\\server\share\a)", R"(\\server/share/a)", true},
      {W, R"(\\server\share\a)", R"(\\SERVER\share\a)", false},
      {W, R"(\\server\share)", R"(\\server\share\)", true},
      {W, R"(\\?\C:\a)", R"(\\?\c:\a)", true},
      {W, R"(\\?\C:\a)", R"(C:\a)", false},
      {W, R"(\\?\C:\a\b)", R"(\\?\C:\a/b)", false},
      {W, R"(\\?\C:\a\.\b)", R"(\\?\C:\a\b)", false},
      {W, R"(\\?\C:\a\\b)", R"(\\?\C:\a\b)", true},
      {W, R"(\\?\UNC\s\sh\a)", R"(\\?\UNC\s\sh\a)", true},
      {W, R"(\\?\UNC\s\sh\a)", R"(\\s\sh\a)", false},
      {W, R"(\\.\pipe\a)", R"(\\.\pipe/a)", true},
      {W, R"(\\.\pipe\a)", R"(\\.\PIPE\a)", false},
      {W, R"(.\a)", R"(a)", false},
      {W, R"(a\.\b)", R"(a\b)", true},
      {P, "/opt/x", "/opt//./x/", true},
      {P, "/opt/x", "/opt/X", false},
      {P, "/opt/x", "opt/x", false},
      {P, "./x", "x", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(paths_equal(c.a, c.b, c.style), c.equal) << c.a << " vs " << c.b;
    EXPECT_EQ(paths_equal(c.b, c.a, c.style), c.equal) << c.b << " vs " << c.a;
  }
}

// Equality as the file system compares names: letter case counts only on POSIX.
TEST(PathTest, Equivalence) {
  struct Case {
    PathStyle style;
    std::string a, b;
    bool equivalent;
  };
  const Case cases[] = {
      {W, R"(C:\Apps\Vellicor\App.exe)", R"(c:\apps\vellicor\app.exe)", true},
      {W, R"(C:\Apps\Vellicor\App.exe)", R"(c:/APPS//vellicor/./APP.EXE)", true},
      {W, "C:\\\xC3\x9C\\a", "C:\\\xC3\xBC\\A", true},  // U-umlaut, both cases
      {W, R"(\\Server\Share\a)", R"(\\server\SHARE\A)", true},
      {W, R"(\\?\C:\Apps)", R"(\\?\c:\apps)", true},
      {W, R"(C:\Apps\App.exe)", R"(C:\Apps\App.ex)", false},
      {W, R"(C:\Apps\App.exe)", R"(D:\Apps\App.exe)", false},
      {W, R"(C:\Apps\x\..\App.exe)", R"(C:\Apps\App.exe)", false},  // ".." is not resolved
      {W, R"(\\?\C:\Apps)", R"(C:\Apps)", false},
      {P, "/opt/App", "/opt//./App/", true},
      {P, "/opt/App", "/opt/app", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(paths_equivalent(c.a, c.b, c.style), c.equivalent) << c.a << " vs " << c.b;
    EXPECT_EQ(paths_equivalent(c.b, c.a, c.style), c.equivalent) << c.b << " vs " << c.a;
  }
}

TEST(PathTest, NamesThatWindowsCannotHold) {
  const std::string device = "a device name";
  const std::string trailing = "a trailing dot or space";
  const std::string character = "a character that Windows forbids";
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"CON", device},
      {"con", device},
      {"Aux.txt", device},
      {"NUL.tar.gz", device},
      {"prn", device},
      {"COM1.log", device},
      {"lpt9", device},
      {"COM\xC2\xB9", device},  // COM with a superscript 1
      {"LPT\xC2\xB3.txt", device},
      {"nul .txt", device},  // spaces before the extension do not count
      {"CON.", device},
      {"COM0", std::nullopt},
      {"COM10", std::nullopt},
      {"LPT\xC2\xB4", std::nullopt},  // an acute accent, no digit
      {"CONSOLE", std::nullopt},
      {"xcon", std::nullopt},
      {"con_x.txt", std::nullopt},
      {".con", std::nullopt},
      {"x.", trailing},
      {"y ", trailing},
      {"..", trailing},
      {"a.b. ", trailing},
      {" leading space", std::nullopt},
      {"a:b", character},
      {"what?", character},
      {"a*", character},
      {"<x>", character},
      {"pipe|", character},
      {"quote\"", character},
      {"back\\slash", character},
      {"tab\tname", character},
      {std::string("nul\0byte", 8), character},
      {"\x1F", character},
      {"Vellicor.exe", std::nullopt},
      {"\xC3\x9C"
       "berblick",
       std::nullopt},
      {"\x7F", std::nullopt},
  };
  for (const auto& [name, problem] : cases) {
    const auto found = windows_name_problem(name);
    EXPECT_EQ(found ? std::optional<std::string>(*found) : std::nullopt, problem) << name;
  }
}

TEST(PathTest, Normalize) {
  const OneArgCase cases[] = {
      {W, R"(C:/Apps//Vellicor/lib/../Vellicor.exe)", R"(C:\Apps\Vellicor\Vellicor.exe)"},
      {W, R"(c:\apps\.\vellicor\)", R"(c:\apps\vellicor)"},
      {W, R"(C:\..\..\x)", R"(C:\x)"},  // ".." never takes the root away
      {W, R"(\\server\share\a\..\b)", R"(\\server\share\b)"},
      {W, R"(\\?\C:\a\..\b)", R"(\\?\C:\a\..\b)"},  // verbatim: as it stands
      {W, R"(a\..\..\b)", R"(..\b)"},
      {W, R"(.\C:x\.\y)", R"(.\C:x\y)"},  // without the ".", C:x would be a drive's path
      {P, "/tmp/../tmp//x/./y/", "/tmp/x/y"},
      {P, "/..", "/"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(normalize_path(c.path, c.style), c.expected) << describe(c);
}

TEST(PathTest, WithoutVerbatimPrefix) {
  const OneArgCase cases[] = {
      {W, R"(\\?\C:\Apps\x.exe)", R"(C:\Apps\x.exe)"},
      {W, R"(\\?\UNC\server\share\x)", R"(\\server\share\x)"},
      {W, R"(\\?\Volume{1234}\x)", R"(\\?\Volume{1234}\x)"},  // no plain form
      {W, R"(C:\Apps)", R"(C:\Apps)"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(without_verbatim_prefix(c.path), c.expected) << describe(c);
}

// Long paths reach the system in the verbatim form, made plain first; short ones as they are.
TEST(PathTest, SystemPath) {
  const std::string deep(300, 'd');
  const OneArgCase cases[] = {
      {W, R"(C:\Apps\Vellicor\a.exe)", R"(C:\Apps\Vellicor\a.exe)"},
      {W, R"(C:/Apps/x/../a.exe)", R"(C:/Apps/x/../a.exe)"},  // short: the system normalises it
      {W, R"(C:\Apps\)" + deep, R"(\\?\C:\Apps\)" + deep},
      {W, R"(c:/Apps/./x/..//)" + deep + "/", R"(\\?\c:\Apps\)" + deep},
      {W, R"(\\server\share\)" + deep, R"(\\?\UNC\server\share\)" + deep},
      {W, R"(\\?\C:\)" + deep + R"(\..)", R"(\\?\C:\)" + deep + R"(\..)"},
      {W, R"(\\.\pipe\)" + deep, R"(\\.\pipe\)" + deep},
      {W, "relative\\" + deep, "relative\\" + deep},
      {W, "C:" + deep, "C:" + deep},  // relative to the drive's current folder
      {P, "/opt/" + deep, "/opt/" + deep},
  };
  for (const auto& c : cases)
    EXPECT_EQ(system_path(c.path, c.style), c.expected) << describe(c);
}

struct FileNameCase {
  PathStyle style;
  std::string a, b;
  bool equal, a_starts_with_b;
};

// Windows' expectations are what NTFS answers: FileNamesCompareAsAVolumeDoes asks a volume
// about each W row with UTF-8 names (an NTFS image mounted with lowntfs-3g -o ignore_case; on the
// Windows build a temporary folder of the system's), and each agreed with an image that
// ntfs-3g 2022.10.3 formatted and mounted. That volume proved the long s row wrong: long s is
// not S.
const FileNameCase kFileNameCases[] = {
    {W, "Unins000.dat", "unins", false, true},
    {W, "TOOLS", "tools", true, true},
    {W,
     "\xC3\x9C"
     "berblick",
     "\xC3\xBC"
     "BERBLICK",
     true, true},                                // U-umlaut, both cases
    {W, "tool\xC5\xBF", "TOOLS", false, false},  // long s is not S
    {W, "tool", "tools", false, false},
    {W, "\xC4\x80.txt", "\xC8\x80.txt", false, false},  // U+0100 and U+0200: a unit's both bytes
    {W, "bad-\xFF", "BAD-\xFF", false, false},          // not UTF-8: byte for byte
    {P, "Tools", "tools", false, false},
    {P, "unins000.dat", "unins", false, true},
    // ASCII and Latin-1.
    {W, "a", "A", true, true},
    {W, "\xC3\xA9", "\xC3\x89", true, true},    // e-acute
    {W, "\xC3\xBF", "\xC5\xB8", true, true},    // y-diaeresis, its capital in Latin Extended-A
    {W, "\xC3\xA6", "\xC3\x86", true, true},    // ae
    {W, "\xC3\xBE", "\xC3\x9E", true, true},    // thorn
    {W, "\xC3\x97", "\xC3\xB7", false, false},  // multiplication and division signs
    {W, "[", "{", false, false},                // no case, though 0x20 apart
    // Beyond Latin-1: one name.
    {W, "\xCE\xAC", "\xCE\x86", true, true},          // Greek alpha with tonos
    {W, "\xE1\xBC\x80", "\xE1\xBC\x88", true, true},  // Greek alpha with psili (polytonic)
    {W, "\xD2\x91", "\xD2\x90", true, true},          // Cyrillic ghe with upturn
    {W, "\xD1\xA1", "\xD1\xA0", true, true},          // Cyrillic omega
    {W, "\xD5\xA1", "\xD4\xB1", true, true},          // Armenian ayb
    {W, "\xC7\x86", "\xC7\x84", true, true},          // dz with caron, lower and upper
    {W, "\xC7\x8E", "\xC7\x8D", true, true},          // a with caron
    {W, "\xC6\x80", "\xC9\x83", true, true},          // b with stroke
    {W, "\xE1\xBA\xA1", "\xE1\xBA\xA0", true, true},  // a with dot below
    {W, "\xE2\x85\xB0", "\xE2\x85\xA0", true, true},  // Roman numeral one
    {W, "\xE2\x93\x90", "\xE2\x92\xB6", true, true},  // circled a
    {W, "\xEF\xBD\x81", "\xEF\xBC\xA1", true, true},  // fullwidth a
    // Two names, where Unicode's case mapping would make one.
    {W, "\xC4\xB1", "I", false, false},  // dotless i
    {W, "\xC4\xB1", "i", false, false},
    {W, "\xC5\xBF", "s", false, false},                         // long s
    {W, "\xCF\x82", "\xCE\xA3", false, false},                  // final sigma, capital sigma
    {W, "\xCF\x82", "\xCF\x83", false, false},                  // final sigma, sigma
    {W, "\xC7\x85", "\xC7\x84", false, false},                  // Dz with caron (titlecase), upper
    {W, "\xC7\x85", "\xC7\x86", false, false},                  // Dz with caron (titlecase), lower
    {W, "\xC3\x9F", "\xE1\xBA\x9E", false, false},              // sharp s, capital sharp s
    {W, "k", "\xE2\x84\xAA", false, false},                     // k, Kelvin sign
    {W, "\xC3\x85", "\xE2\x84\xAB", false, false},              // A with ring, Angstrom sign
    {W, "\xF0\x90\x90\xA8", "\xF0\x90\x90\x80", false, false},  // Deseret long i, past U+FFFF
};

TEST(PathTest, FileNamesCompareAsTheFileSystemDoes) {
  for (const auto& c : kFileNameCases) {
    EXPECT_EQ(file_names_equal(c.a, c.b, c.style), c.equal) << c.a << " vs " << c.b;
    EXPECT_EQ(file_names_equal(c.b, c.a, c.style), c.equal) << c.b << " vs " << c.a;
    EXPECT_EQ(file_name_key(c.a, c.style) == file_name_key(c.b, c.style), c.equal) << c.a;
    EXPECT_EQ(file_name_starts_with(c.a, c.b, c.style), c.a_starts_with_b) << c.a << " " << c.b;
  }
}

// Each pair of Windows names as the volume itself takes it: a file created by one name, then
// opened by the other, both ways round. The volume must agree with the table's expectation and
// with file_names_equal and file_name_key.
TEST(PathTest, FileNamesCompareAsAVolumeDoes) {
  std::string why_not;
  const auto volume = testing_support::NameVolume::create(why_not);
  if (!volume) GTEST_SKIP() << why_not;
  for (const auto& c : kFileNameCases) {
    if (c.style != W || !is_valid_utf8(c.a) || !is_valid_utf8(c.b)) continue;
    for (const auto& [created, asked] : {std::pair(c.a, c.b), std::pair(c.b, c.a)}) {
      const auto one = volume->opens_as_one(created, asked);
      ASSERT_TRUE(one.has_value()) << "the volume did not take " << created << " or " << asked;
      EXPECT_EQ(*one, c.equal) << created << " then " << asked;
      EXPECT_EQ(*one, file_names_equal(created, asked, W)) << created << " then " << asked;
      EXPECT_EQ(*one, file_name_key(created, W) == file_name_key(asked, W)) << created;
    }
  }
}

TEST(PathTest, KeysAreTheHashOfThePathAsTheFileSystemComparesIt) {
  struct Case {
    PathStyle style;
    std::string path, key;
  };
  // FNV-1a (64 bits) of the UTF-16LE units upper-cased, or of the bytes.
  const Case cases[] = {
      {P, "/opt/Vellicor", "7990455ddf7bd4dc"},
      {W, "C:\\APPS\\VELLICOR", "4d5ba9a355dd0ec2"},
      {W, "c:\\Apps\\vellicor", "4d5ba9a355dd0ec2"},  // letter case does not count
      {W, "\xFF", "af64724c8602eb6e"},                // not UTF-8: the bytes
  };
  for (const auto& c : cases) {
    EXPECT_EQ(path_key(c.path, c.style), c.key) << c.path;
  }
}

TEST(PathTest, ComponentsKeepTheirOffsets) {
  using Kind = PathComponent::Kind;
  const auto components = path_components(R"(\\server\share\a\\b)", W);
  ASSERT_EQ(components.size(), 4u);
  EXPECT_EQ(components[0].kind, Kind::Prefix);
  EXPECT_EQ(components[0].text, R"(\\server\share)");
  EXPECT_EQ(components[1].kind, Kind::RootDir);
  EXPECT_EQ(components[2].text, "a");
  EXPECT_EQ(components[3].text, "b");
  EXPECT_EQ(components[3].end, 19u);
}

}  // namespace
}  // namespace vellicor
