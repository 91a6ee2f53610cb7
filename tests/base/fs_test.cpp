#include "base/fs.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "base/delete_handle.hpp"
#include "base/durability.hpp"
#include "base/entry_identity.hpp"
#include "base/path.hpp"
#include "base/sleep.hpp"
#include "base/tree_removal.hpp"
#include "base/tree_walk.hpp"
#include "base/volume.hpp"
#include "support/temp_dir.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;

const bool kWindows = native_path_style() == PathStyle::Windows;

TEST(FsTest, EntryKindFromAttributes) {
  struct Case {
    uint32_t attributes, tag;
    EntryKind kind;
  };
  const Case cases[] = {
      {0x20, 0, EntryKind::File},                        // archive
      {0x80, 0, EntryKind::File},                        // normal
      {0x01, 0, EntryKind::File},                        // read-only
      {0x10, 0, EntryKind::Directory},                   // directory
      {0x10 | 0x400, 0xA000000C, EntryKind::Link},       // directory symbolic link
      {0x20 | 0x400, 0xA000000C, EntryKind::Link},       // file symbolic link
      {0x10 | 0x400, 0xA0000003, EntryKind::Link},       // junction (mount point)
      {0x10 | 0x400, 0x9000001A, EntryKind::Directory},  // cloud placeholder: no surrogate bit
      {0x20 | 0x400, 0x80000013, EntryKind::File},       // deduplicated file
      {0x10 | 0x400, 0, EntryKind::Directory},           // what Wine reports for Unix links
      {0x20, 0xA000000C, EntryKind::File},               // a tag without the attribute is no link
  };
  for (const auto& c : cases) {
    EXPECT_EQ(entry_kind_from_attributes(c.attributes, c.tag), c.kind)
        << std::hex << c.attributes << " " << c.tag;
  }
}

std::set<std::pair<std::string, EntryKind>> listing(const std::string& path) {
  auto entries = list_directory(path);
  EXPECT_TRUE(entries) << entries.error().display_text();
  std::set<std::pair<std::string, EntryKind>> out;
  for (const auto& e : entries.value_or(std::vector<DirEntry>{})) {
    out.emplace(e.name.value_or("<invalid>"), e.kind);
  }
  return out;
}

TEST(FsTest, ListsFilesAndDirectoriesWithoutDotEntries) {
  TempDir dir;
  dir.write_file("a.exe");
  dir.write_file("sub/b.dll");
  dir.write_file(
      "\xC3\x9C"
      "berblick.txt");
  fs::create_directory(dir.path() / "empty");
  const std::set<std::pair<std::string, EntryKind>> expected = {
      {"a.exe", EntryKind::File},
      {"sub", EntryKind::Directory},
      {"empty", EntryKind::Directory},
      {"\xC3\x9C"
       "berblick.txt",
       EntryKind::File},
  };
  EXPECT_EQ(listing(dir.str()), expected);
  EXPECT_TRUE(listing(dir.at("empty")).empty());

  auto missing = list_directory(dir.at("missing"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), IoError);
}

TEST(FsTest, MetadataFollowsToFilesAndDirectories) {
  TempDir dir;
  dir.write_file("f");
  EXPECT_EQ(metadata(dir.at("f"))->is_directory, false);
  EXPECT_EQ(metadata(dir.str())->is_directory, true);
  auto missing = metadata(dir.at("nothing"));
  ASSERT_FALSE(missing);
  EXPECT_TRUE(
      missing.error().display_text().ends_with(kWindows ? " (os error 2)" : " (os error 2)"));
}

TEST(FsTest, RenameReplacesFilesButNeverLetsADirectoryReplaceAnything) {
  TempDir dir;
  dir.write_file("new.txt", "new");
  dir.write_file("old.txt", "old");
  ASSERT_TRUE(rename_replacing(dir.at("new.txt"), dir.at("old.txt")));
  EXPECT_FALSE(fs::exists(dir.path() / "new.txt"));
  std::ifstream in(dir.path() / "old.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "new");

  fs::create_directories(dir.path() / "_" / "tools");
  fs::create_directories(dir.path() / "tools");  // an empty kept folder
  EXPECT_FALSE(rename_replacing(dir.at("_/tools"), dir.at("tools")));
  EXPECT_TRUE(fs::exists(dir.path() / "_" / "tools"));

  dir.write_file("_/file", "x");
  EXPECT_FALSE(rename_replacing(dir.at("_/file"), dir.at("tools")));  // a file over a folder
  EXPECT_TRUE(rename_replacing(dir.at("_/tools"), dir.at("moved")));  // a whole folder moves
  EXPECT_TRUE(fs::is_directory(dir.path() / "moved"));
  EXPECT_FALSE(rename_replacing(dir.at("gone"), dir.at("c")));  // nothing to rename

  // What Windows is asked for: replacing only for a file, written through where durable.
  struct Case {
    bool directory;
    Flush flush;
    uint32_t flags;  // MOVEFILE_REPLACE_EXISTING 1, MOVEFILE_WRITE_THROUGH 8
  };
  for (const auto& c : {Case{false, Flush::None, 1}, Case{false, Flush::WriteoutOnly, 1},
                        Case{false, Flush::HardwareFlush, 9}, Case{true, Flush::None, 0},
                        Case{true, Flush::HardwareFlush, 8}}) {
    EXPECT_EQ(windows_move_flags(c.directory, c.flush), c.flags)
        << c.directory << static_cast<int>(c.flush);
  }
}

// Windows' file numbers are trusted only where Microsoft documents that they last; folder renames
// only on the file systems this program knows.
TEST(FsTest, WindowsTrustsNumbersOnlyOnLocalVolumesThatOpenByThem) {
  constexpr uint32_t kOpenById = 0x01000000;
  struct Case {
    const char* name;
    WindowsVolume volume;
    bool numbers_last, moves_known;
  };
  const Case cases[] = {
      {"NTFS", {true, "NTFS", 0x03e706ff, false}, true, true},
      {"ReFS", {true, "ReFS", kOpenById | 0x2, false}, true, true},
      {"NTFS, named in lower case", {true, "ntfs", kOpenById, false}, true, true},
      {"FAT32", {true, "FAT32", 0x00c20006, false}, false, true},
      {"exFAT", {true, "exFAT", 0x00020006, false}, false, true},
      {"a share that calls itself NTFS", {true, "NTFS", kOpenById, true}, false, false},
      {"a volume that does not answer", {false, "", 0, false}, false, false},
      {"Wine's drives", {true, "NTFS", 0x0000000a, false}, false, true},
      {"a user-mode file system", {true, "FUSE-NTFS", kOpenById, false}, false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(windows_numbers_last(c.volume), c.numbers_last) << c.name;
    EXPECT_EQ(windows_folder_moves_known(c.volume), c.moves_known) << c.name;
  }
  std::array<uint8_t, 16> id{};
  EXPECT_FALSE(windows_file_id_usable(id));  // none kept
  id.fill(0xFF);
  EXPECT_FALSE(windows_file_id_usable(id));  // no unique one
  id[15] = 0;
  EXPECT_TRUE(windows_file_id_usable(id));
}

// An entry keeps its identity through a rename; one deleted and made again does not, even where
// the file system gives it the same number again (ext4 does so at once).
TEST(FsTest, AnEntryIsItselfThroughARenameAndNotOnceMadeAgain) {
  TempDir dir;
  for (const bool folder : {false, true}) {
    const auto make = [&](const std::string& name) {
      if (folder) {
        fs::create_directories(dir.path() / name / "inner");
      } else {
        dir.write_file(name, "x");
      }
    };
    make("a");
    const auto before = entry_identity(dir.at("a"));
    ASSERT_TRUE(before) << before.error().display_text();
    fs::rename(dir.path() / "a", dir.path() / "b");
    EXPECT_TRUE(same_entry(*before, entry_identity(dir.at("b")).value())) << folder;
    fs::remove_all(dir.path() / "b");
    sleep_milliseconds(20);  // a birth time of its own
    make("b");
    // Wine's drives take the traits identity, which tells a folder by what it holds alone.
    if (!kWindows) {
      EXPECT_FALSE(same_entry(*before, entry_identity(dir.at("b")).value())) << folder;
    }
    fs::remove_all(dir.path() / "b");
  }
}

TEST(FsTest, RemovesNestedTrees) {
  TempDir dir;
  dir.write_file("tree/a/b/c.txt");
  dir.write_file("tree/a/d.txt");
  fs::create_directories(dir.path() / "tree" / "e" / "f");
  ASSERT_TRUE(remove_directory_tree(dir.at("tree")));
  EXPECT_FALSE(fs::exists(dir.path() / "tree"));
  EXPECT_FALSE(remove_directory_tree(dir.at("tree")));  // nothing left to remove
}

// An entry of a tree that is walked to be deleted, given to another kind of entry by another
// program between the listing that showed it and its open (made by the visitor of the top, after
// the top's listing): the walk, the hold or the removal refuses it with an error that names it,
// and nothing is listed through it or removed.
TEST(FsTest, AnEntryOfAnotherKindThanListedIsRefused) {
  struct Case {
    const char* change;
    const char* entry;    // what changes kind below the tree
    bool becomes_folder;  // else a file in a folder's place
    std::function<Status(const WalkedFolder&, const DirEntry&)> use;  // nothing: the walk's open
    const char* how;
  };
  const Case cases[] = {
      {"a listed folder that is a file at its open", "sub", false, nullptr,
       "it is no longer a folder"},
      {"a listed file that is a folder at its hold", "a.dll", true,
       [](const WalkedFolder& folder, const DirEntry& entry) -> Status {
         auto held = open_file_handle(folder, *entry.name);
         if (!held) return fail(held.error());
         return {};
       },
       "it is a folder now"},
      {"a listed file that is a folder at its removal", "a.dll", true,
       [](const WalkedFolder& folder, const DirEntry& entry) {
         return remove_walked_entry(folder, entry);
       },
       "it is a folder now"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change);
    TempDir dir;
    dir.write_file("tree/a.dll", "old");
    dir.write_file("tree/sub/b.dll", "old");
    const fs::path changed = dir.path() / "tree" / c.entry;
    std::vector<std::string> entered;
    const Status walked = walk_breadth_first(
        dir.at("tree"), [&](const WalkedFolder& folder, std::vector<DirEntry>& entries) -> Status {
          entered.push_back(folder.path());
          if (folder.path() != dir.at("tree")) return {};
          fs::rename(changed, dir.path() / "moved");
          if (c.becomes_folder) {
            dir.write_file(std::string("tree/") + c.entry + "/new.dll", "new");
          } else {
            dir.write_file(std::string("tree/") + c.entry, "a file");
          }
          if (!c.use) return {};
          const auto listed = std::find_if(entries.begin(), entries.end(), [&](const auto& entry) {
            return entry.name == c.entry;
          });
          return c.use(folder, *listed);
        });
    ASSERT_FALSE(walked);
    EXPECT_EQ(walked.error().kind(), EntryChangedError);
    EXPECT_EQ(walked.error().display_text(),
              join_path(dir.at("tree"), c.entry) + " changed while the update ran: " + c.how);
    EXPECT_EQ(entered, std::vector<std::string>{dir.at("tree")});
    EXPECT_TRUE(fs::exists(changed / "new.dll") || fs::is_regular_file(changed));
  }
}

// The file system's own spelling of a path, at any length: an installation deep in the tree
// has a code path of more than MAX_PATH characters.
TEST(FsTest, ResolvesPathsOfAnyLength) {
  TempDir dir;
  std::string expected = resolve_path(dir.str()).value();
  for (int i = 0; i < 5; ++i) {
    expected = join_path(expected, "Folder-" + std::to_string(i) + "-" + std::string(50, 'x'));
    // The verbatim form: the test program is not long-path aware.
    ASSERT_TRUE(fs::create_directory(testing_support::from_utf8(system_path(expected))));
  }
  expected = join_path(expected, "App.exe");
  std::ofstream(testing_support::from_utf8(system_path(expected))) << "app";
  ASSERT_GT(expected.size(), 300u);
  std::string spelling = expected;
  if (kWindows) {
    std::transform(spelling.begin(), spelling.end(), spelling.begin(),
                   [](char c) { return static_cast<char>(std::toupper(c)); });
  } else {
    spelling.insert(spelling.rfind('/'), "/.");
  }
  EXPECT_EQ(resolve_path(spelling), expected);
}

TEST(FsTest, TempDirectoryExists) {
  auto temp = temp_directory();
  ASSERT_TRUE(temp);
  EXPECT_TRUE(metadata(*temp).value_or(FileMetadata{}).is_directory) << *temp;
}

}  // namespace
}  // namespace vellicor
