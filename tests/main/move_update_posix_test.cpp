// Trees that only the POSIX build can make for real: symbolic links, names that are not UTF-8,
// more files than the descriptor limit a process starts with.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <filesystem>

#include "base/path.hpp"
#include "main/move_update.hpp"
#include "support/fake_user.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"
#include "support/update_tree.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using testing_support::FakeUser;
using testing_support::read_tree;
using Tree = std::vector<std::string>;

TEST(MoveUpdatePosixTest, LinksStayInPlaceAndTheirTargetsAreNeverTouched) {
  testing_support::TempDir dir;
  const fs::path root = dir.path() / "app";
  testing_support::make_tree(
      dir.path(), {"outside/keep.txt=keep", "app/bin/x.so", "app/unins000.dat", "app/_/new=n"});
  fs::create_directory_symlink(dir.path() / "outside", root / "linked");
  fs::create_symlink(dir.path() / "outside" / "keep.txt", root / "bin" / "keep-link");

  auto log = testing_support::make_captured_logger();
  FakeUser user;
  const Status status =
      move_update(*log.logger, testing_support::utf8(root / "unins000.dat"), "_", user.hooks());
  ASSERT_TRUE(status) << status.error().display_text();
  // The link in the root is neither deleted nor followed; the one inside bin went with bin.
  EXPECT_EQ(read_tree(root), (Tree{"linked -> " + testing_support::utf8(dir.path() / "outside"),
                                   "new=n", "unins000.dat="}));
  EXPECT_EQ(read_tree(dir.path() / "outside"), (Tree{"keep.txt=keep"}));
  for (const auto& line : log.release()) {
    EXPECT_EQ(line.find("outside"), std::string::npos) << "the walk visited a link: " << line;
  }
}

TEST(MoveUpdatePosixTest, NameThatIsNotUtf8FailsBeforeAnyFileIsMarked) {
  testing_support::TempDir dir;
  const fs::path root = dir.path() / "app";
  const Tree before = {"a.exe=1", "sub/bad-\xFF=2", "sub/c=3", "unins000.dat=4", "_/a.exe=5"};
  testing_support::make_tree(root, before);
  auto log = testing_support::make_captured_logger();
  FakeUser user;
  const Status status =
      move_update(*log.logger, testing_support::utf8(root / "unins000.dat"), "_", user.hooks());
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().display_text(), "Could not get entry name");
  auto sorted = before;
  sorted.push_back("_/");
  sorted.push_back("sub/");
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(read_tree(root), sorted);
}

}  // namespace
// Every old file is held open at once; a soft limit below the number of files is raised rather
// than failing the update with "Too many open files".
TEST(MoveUpdatePosixTest, MoreFilesThanTheSoftDescriptorLimitAreAllReplaced) {
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
  constexpr rlim_t kLowLimit = 64;
  constexpr int kFiles = 300;
  if (before.rlim_max < kFiles + 64) GTEST_SKIP() << "hard descriptor limit too low";
  testing_support::TempDir dir;
  const fs::path root = dir.path() / "app";
  Tree entries = {"unins000.dat=log", "_/new.exe=2"};
  for (int i = 0; i < kFiles; ++i)
    entries.push_back("lib/file" + std::to_string(i) + "=1");
  testing_support::make_tree(root, entries);

  const rlimit low{kLowLimit, before.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  auto log = testing_support::make_captured_logger();
  FakeUser user;
  const Status status =
      move_update(*log.logger, testing_support::utf8(root / "unins000.dat"), "_", user.hooks());
  rlimit after{};
  getrlimit(RLIMIT_NOFILE, &after);
  setrlimit(RLIMIT_NOFILE, &before);
  ASSERT_TRUE(status) << status.error().display_text();
  EXPECT_GT(after.rlim_cur, kLowLimit);
  EXPECT_EQ(read_tree(root), (Tree{"new.exe=2", "unins000.dat=log"}));
}

}  // namespace vellicor
