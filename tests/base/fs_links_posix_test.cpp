// Links and raw byte names, which only the POSIX build can create for real (Wine cannot make
// Windows links).

#include <gtest/gtest.h>

#include <filesystem>

#include "base/fs.hpp"
#include "support/temp_dir.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;

TEST(FsLinksTest, LinksAreListedAsLinksAndRemovedWithoutTouchingTargets) {
  TempDir dir;
  dir.write_file("outside/keep.txt", "keep");
  dir.write_file("tree/inner/file.txt");
  fs::create_directory_symlink(dir.path() / "outside", dir.path() / "tree" / "dirlink");
  fs::create_symlink(dir.path() / "outside" / "keep.txt", dir.path() / "tree" / "filelink");
  fs::create_symlink(dir.path() / "nowhere", dir.path() / "tree" / "dangling");

  auto entries = list_directory(dir.at("tree"));
  ASSERT_TRUE(entries);
  int links = 0;
  for (const auto& e : *entries)
    links += e.kind == EntryKind::Link;
  EXPECT_EQ(links, 3);

  ASSERT_TRUE(remove_directory_tree(dir.at("tree")));
  EXPECT_FALSE(fs::exists(dir.path() / "tree"));
  EXPECT_TRUE(fs::exists(dir.path() / "outside" / "keep.txt"));
}

TEST(FsLinksTest, ATreeThatIsALinkLosesOnlyTheLink) {
  TempDir dir;
  dir.write_file("target/file.txt");
  fs::create_directory_symlink(dir.path() / "target", dir.path() / "link");
  ASSERT_TRUE(remove_directory_tree(dir.at("link")));
  EXPECT_FALSE(fs::is_symlink(dir.path() / "link"));
  EXPECT_TRUE(fs::exists(dir.path() / "target" / "file.txt"));
}

TEST(FsLinksTest, MetadataFollowsLinks) {
  TempDir dir;
  fs::create_directory(dir.path() / "real");
  fs::create_directory_symlink(dir.path() / "real", dir.path() / "link");
  EXPECT_TRUE(metadata(dir.at("link"))->is_directory);
}

TEST(FsLinksTest, NamesThatAreNotUtf8AreListedWithoutAName) {
  TempDir dir;
  dir.write_file("ok.txt");
  dir.write_file("bad-\xFF.txt");
  auto entries = list_directory(dir.str());
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 2u);
  int unnamed = 0;
  for (const auto& e : *entries)
    unnamed += !e.name.has_value();
  EXPECT_EQ(unnamed, 1);
}

}  // namespace
}  // namespace vellicor
