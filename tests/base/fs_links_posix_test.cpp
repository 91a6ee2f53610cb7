// Links and raw byte names, which only the POSIX build can create for real (Wine cannot make
// Windows links).

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>

#include "base/delete_handle.hpp"
#include "base/fs.hpp"
#include "base/tree_removal.hpp"
#include "base/tree_walk.hpp"
#include "support/syscall_filter_posix.hpp"
#include "support/temp_dir.hpp"
#include "support/update_tree.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;
using Tree = std::vector<std::string>;

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

// A folder's tree where a listing showed a folder (remove_folder_tree: the old version's
// top-level folders) refuses a link in its place, and removes nothing.
TEST(FsLinksTest, ATreeThatIsALinkLosesOnlyTheLink) {
  TempDir dir;
  dir.write_file("target/file.txt");
  fs::create_directory_symlink(dir.path() / "target", dir.path() / "link");
  const Status refused = remove_folder_tree(dir.at("link"));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().display_text(),
            dir.at("link") + " changed while the update ran: it is a link now");
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link"));
  ASSERT_TRUE(remove_directory_tree(dir.at("link")));
  EXPECT_FALSE(fs::is_symlink(dir.path() / "link"));
  EXPECT_TRUE(fs::exists(dir.path() / "target" / "file.txt"));
}

// A folder of a tree that is walked to be deleted, replaced by another program between the
// listing that showed it and its open: the walk refuses it with an error that names it, lists
// nothing through it and enters nothing after it (a file in its place: FsTest's table of entries
// of another kind than listed). Each replacement is made by the visitor of
// the top, which runs after the top's listing and before the folder's open. A link leads to a
// user's folder outside the tree (the user's files would be listed, and deleted); another file
// system mounted on the folder would show another volume's files.
TEST(FsLinksTest, AFolderReplacedBetweenItsListingAndItsOpenIsRefused) {
  struct Case {
    const char* replacement;
    const char* how;
  };
  const Case cases[] = {
      {"a link to the user's folder", "it is a link now"},
      {"the user's folder mounted on it", "another file system is mounted on it now"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.replacement);
    const bool mounting = std::strstr(c.replacement, "mounted") != nullptr;
    if (mounting && (unshare(CLONE_NEWNS) != 0 ||
                     mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)) {
      GTEST_SKIP() << "no mount namespace of its own: " << std::strerror(errno);
    }
    TempDir dir;
    dir.write_file("user/own.txt", "the user's");
    dir.write_file("tree/a.dll");
    dir.write_file("tree/sub/b.dll");
    const fs::path sub = dir.path() / "tree" / "sub";
    std::set<std::string> seen;
    bool replaced = false;
    const Status walked = walk_breadth_first(
        dir.at("tree"), [&](const WalkedFolder& folder, std::vector<DirEntry>& entries) -> Status {
          for (const auto& entry : entries)
            seen.insert(folder.path() + "/" + entry.name.value_or("?"));
          if (folder.path() != dir.at("tree")) return {};
          fs::rename(sub, dir.path() / "moved");
          if (std::strstr(c.replacement, "link")) {
            fs::create_directory_symlink(dir.path() / "user", sub);
          } else {
            fs::create_directory(sub);
            replaced = mount(dir.at("user").c_str(), sub.c_str(), nullptr, MS_BIND, nullptr) == 0;
            return {};
          }
          replaced = true;
          return {};
        });
    if (mounting && !replaced) GTEST_SKIP() << "no bind mounts here: " << std::strerror(errno);
    if (mounting) umount(sub.c_str());
    ASSERT_TRUE(replaced);
    ASSERT_FALSE(walked);
    EXPECT_EQ(walked.error().kind(), EntryChangedError);
    EXPECT_EQ(walked.error().display_text(),
              dir.at("tree/sub") + " changed while the update ran: " + c.how);
    EXPECT_EQ(seen, (std::set<std::string>{dir.at("tree") + "/a.dll", dir.at("tree") + "/sub"}));
    EXPECT_EQ(testing_support::read_tree(dir.path() / "user"), (Tree{"own.txt=the user's"}));
  }
}

// The same for a tree's removal, with the folder replaced by a link to the user's folder (which
// holds files of the folder's names) as the first entry of the tree is removed, before the
// folder is opened, or as the first entry of the folder itself is removed, once it is open and
// listed: its entries go through its own descriptor, from where it was moved, and the removal
// stops at the folder. The user's folder keeps everything.
TEST(FsLinksTest, ARemovalRefusesAFolderThatBecameALinkAndLeavesItsTargetAlone) {
  struct Case {
    const char* replaced_at;  // the folder whose first removal the replacement comes with
    Tree moved;               // what stays of the folder where it was moved
  };
  const Case cases[] = {{"tree", {"b.dll=old", "c.dll=old"}}, {"tree/sub", {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.replaced_at);
    TempDir dir;
    for (const auto* user_file : {"user/own.txt", "user/b.dll", "user/c.dll"})
      dir.write_file(user_file, "the user's");
    dir.write_file("tree/a.dll", "old");
    dir.write_file("tree/sub/b.dll", "old");
    dir.write_file("tree/sub/c.dll", "old");
    const std::string sub = dir.at("tree/sub");
    const std::string moved = dir.at("moved");
    const std::string user = dir.at("user");
    const std::string folder = dir.at(c.replaced_at);
    bool replaced = false;
    const auto removed = testing_support::with_calls_paused(
        {SYS_unlink, SYS_unlinkat, SYS_rmdir},
        [&](const seccomp_data& call) {
          // The folder of the entry removed: its descriptor's, or its path's.
          char through[4096] = {};
          const char* path = reinterpret_cast<const char*>(call.args[0]);
          if (call.nr == SYS_unlinkat) {
            const int at = static_cast<int>(call.args[0]);
            path = reinterpret_cast<const char*>(call.args[1]);
            const std::string link = "/proc/self/fd/" + std::to_string(at);
            if (at != AT_FDCWD && readlink(link.c_str(), through, sizeof through - 1) > 0) {
              path = through;
            } else if (const char* slash = std::strrchr(path, '/')) {
              std::memcpy(through, path, static_cast<size_t>(slash - path));
              path = through;
            }
          } else if (const char* slash = std::strrchr(path, '/')) {
            std::memcpy(through, path, static_cast<size_t>(slash - path));
            path = through;
          }
          if (replaced || folder != path) return;
          replaced =
              syscall(SYS_renameat2, AT_FDCWD, sub.c_str(), AT_FDCWD, moved.c_str(), 0) == 0 &&
              syscall(SYS_symlinkat, user.c_str(), AT_FDCWD, sub.c_str()) == 0;
        },
        [&] { return remove_directory_tree(dir.at("tree")); });
    if (!removed) GTEST_SKIP() << "no seccomp filter here";
    ASSERT_TRUE(replaced);
    ASSERT_FALSE(*removed);
    EXPECT_EQ(removed->error().display_text(),
              sub + " changed while the update ran: it is a link now");
    EXPECT_EQ(testing_support::read_tree(dir.path() / "user"),
              (Tree{"b.dll=the user's", "c.dll=the user's", "own.txt=the user's"}));
    EXPECT_EQ(testing_support::read_tree(dir.path() / "moved"), c.moved);
  }
}

// A file replaced by a link to the user's file between its listing and its hold is refused with
// an error that names it, and the user's file is neither held nor deleted.
TEST(FsLinksTest, AFileReplacedByALinkBeforeItsHoldIsRefused) {
  TempDir dir;
  dir.write_file("user/x.so", "the user's");
  dir.write_file("tree/x.so", "old");
  std::optional<Result<DeleteHandle>> held;
  ASSERT_TRUE(walk_breadth_first(
      dir.at("tree"), [&](const WalkedFolder& folder, std::vector<DirEntry>&) -> Status {
        fs::rename(dir.path() / "tree" / "x.so", dir.path() / "moved.so");
        fs::create_symlink(dir.path() / "user" / "x.so", dir.path() / "tree" / "x.so");
        held.emplace(open_file_handle(folder, "x.so"));
        return {};
      }));
  ASSERT_TRUE(held);
  ASSERT_FALSE(*held);
  EXPECT_EQ(held->error().kind(), EntryChangedError);
  EXPECT_EQ(held->error().display_text(),
            dir.at("tree/x.so") + " changed while the update ran: it is a link now");
  EXPECT_EQ(testing_support::read_tree(dir.path() / "user"), (Tree{"x.so=the user's"}));
}

// A held file is deleted through its folder, opened again from the walk's top when the hold
// closes: a folder that became a link to the user's folder since (which holds a file of the same
// name) is refused with an error that names it, and neither file goes.
TEST(FsLinksTest, AHeldFileWhoseFolderBecameALinkIsNotDeletedThroughIt) {
  TempDir dir;
  dir.write_file("user/x.so", "the user's");
  dir.write_file("tree/lib/x.so", "old");
  std::optional<DeleteHandle> held;
  ASSERT_TRUE(walk_breadth_first(dir.at("tree"),
                                 [&](const WalkedFolder& folder, std::vector<DirEntry>&) -> Status {
                                   if (folder.path() != dir.at("tree/lib")) return {};
                                   auto handle = open_file_handle(folder, "x.so");
                                   if (!handle) return fail(handle.error());
                                   held.emplace(std::move(*handle));
                                   return {};
                                 }));
  ASSERT_TRUE(held);
  EXPECT_EQ(held->path(), dir.at("tree/lib/x.so"));
  fs::rename(dir.path() / "tree" / "lib", dir.path() / "moved");
  fs::create_directory_symlink(dir.path() / "user", dir.path() / "tree" / "lib");
  ASSERT_TRUE(mark_for_deletion(*held));
  const Status closed = close_file_handle(*held);
  ASSERT_FALSE(closed);
  EXPECT_EQ(closed.error().kind(), EntryChangedError);
  EXPECT_EQ(closed.error().display_text(),
            dir.at("tree/lib") + " changed while the update ran: it is a link now");
  held.reset();  // unmarked and closed: nothing goes
  EXPECT_EQ(testing_support::read_tree(dir.path() / "user"), (Tree{"x.so=the user's"}));
  EXPECT_EQ(testing_support::read_tree(dir.path() / "moved"), (Tree{"x.so=old"}));
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
