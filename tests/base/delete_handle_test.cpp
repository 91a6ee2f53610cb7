#include "base/delete_handle.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/path.hpp"
#include "support/temp_dir.hpp"
#include "support/update_tree.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using Tree = std::vector<std::string>;

const bool kWindows = native_path_style() == PathStyle::Windows;
constexpr auto kWrite = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;

bool read_only(const std::string& path) {
  return (fs::status(testing_support::from_utf8(path)).permissions() & kWrite) == fs::perms::none;
}

void make_read_only(const std::string& path, bool on) {
  fs::permissions(testing_support::from_utf8(path), kWrite,
                  on ? fs::perm_options::remove : fs::perm_options::add);
}

// Windows refuses to mark a read-only file for deletion; the mark clears the attribute just
// before, and unmarking sets it again, so a file that stays keeps it.
TEST(FileHandlesTest, ReadOnlyFileIsMarkedAndKeepsItsAttributeWhenUnmarked) {
  testing_support::TempDir dir;
  dir.write_file("kept.dll", "kept");
  dir.write_file("gone.dll", "gone");
  for (const auto* name : {"kept.dll", "gone.dll"})
    make_read_only(dir.at(name), true);

  auto kept = open_file_handle(dir.at("kept.dll"));
  ASSERT_TRUE(kept) << kept.error().display_text();
  const Status marked = mark_for_deletion(*kept);
  ASSERT_TRUE(marked) << marked.error().display_text();
  EXPECT_EQ(kept->cleared_read_only(), kWindows);
  EXPECT_EQ(read_only(dir.at("kept.dll")), !kWindows);
  ASSERT_TRUE(unmark_for_deletion(*kept));
  EXPECT_FALSE(kept->cleared_read_only());
  EXPECT_TRUE(read_only(dir.at("kept.dll")));
  ASSERT_TRUE(close_file_handle(*kept));

  auto gone = open_file_handle(dir.at("gone.dll"));
  ASSERT_TRUE(gone);
  ASSERT_TRUE(mark_for_deletion(*gone));
  ASSERT_TRUE(close_file_handle(*gone));

  EXPECT_EQ(testing_support::read_tree(dir.path()), (Tree{"kept.dll=kept"}));
  EXPECT_TRUE(read_only(dir.at("kept.dll")));
  make_read_only(dir.at("kept.dll"), false);
}

// Closing a marked handle deletes the file it holds, never another file that has taken its
// path meanwhile. On Windows nothing can take the path while the handle is open; on POSIX a
// rename can, and the close then leaves the path alone.
TEST(FileHandlesTest, FileRenamedOverTheHeldPathIsNotDeleted) {
  testing_support::TempDir dir;
  dir.write_file("app.dll", "old");
  dir.write_file("app.dll.new", "new");
  auto handle = open_file_handle(dir.at("app.dll"));
  ASSERT_TRUE(handle) << handle.error().display_text();
  ASSERT_TRUE(mark_for_deletion(*handle));
  std::error_code refused;
  fs::rename(dir.path() / "app.dll.new", dir.path() / "app.dll", refused);
  EXPECT_EQ(static_cast<bool>(refused), kWindows) << refused.message();
  ASSERT_TRUE(close_file_handle(*handle));
  EXPECT_EQ(testing_support::read_tree(dir.path()),
            kWindows ? Tree{"app.dll.new=new"} : Tree{"app.dll=new"});
}

}  // namespace
}  // namespace vellicor
