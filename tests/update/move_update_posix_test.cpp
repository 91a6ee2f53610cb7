// Trees that only the POSIX build can make for real: symbolic links, names that are not UTF-8,
// FIFOs, more files than the descriptor limit a process starts with.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/file.hpp"
#include "base/path.hpp"
#include "base/simulated_failure.hpp"
#include "model/filerec/text_list.hpp"
#include "model/uninstall_log.hpp"
#include "support/fake_user.hpp"
#include "support/log_capture.hpp"
#include "support/syscall_filter_posix.hpp"
#include "support/temp_dir.hpp"
#include "support/update_tree.hpp"
#include "update/do_update.hpp"
#include "update/installation.hpp"

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
      dir.path(), {"outside/keep.txt=keep", "app/bin/x.so", "app/unins000.dat", "app/_/a.exe=n"});
  fs::create_directory_symlink(dir.path() / "outside", root / "linked");
  fs::create_symlink(dir.path() / "outside" / "keep.txt", root / "bin" / "keep-link");

  auto log = testing_support::make_captured_logger();
  FakeUser user;
  const Status status =
      do_update(*log.logger, testing_support::installation_at(root), user.hooks());
  ASSERT_TRUE(status) << status.error().display_text();
  // The link in the root is neither deleted nor followed; the one inside bin went with bin.
  EXPECT_EQ(read_tree(root),
            (Tree{"a.exe=n", "linked -> " + testing_support::utf8(dir.path() / "outside"),
                  "unins000.dat="}));
  EXPECT_EQ(read_tree(dir.path() / "outside"), (Tree{"keep.txt=keep"}));
  for (const auto& line : log.release()) {
    EXPECT_EQ(line.find("outside"), std::string::npos) << "the walk visited a link: " << line;
  }
}

// The seam of simulated failures sees every durable call that an update makes: as many as the
// system is asked for (fsync, syncfs, rename, unlink, rmdir and their relatives, counted by a
// seccomp filter on the update's thread), so that the sweeps that fail each in turn miss none.
TEST(MoveUpdatePosixTest, TheSeamOfSimulatedFailuresSeesEveryDurableCall) {
  testing_support::TempDir dir;
  const fs::path root = dir.path() / "app";
  testing_support::make_tree(root, {"a.exe=old", "d/b.dll=old", "d/e/c.dll=old", "_/a.exe=new",
                                    "_/d/b.dll=new", "unins000.dat"});
  std::atomic<size_t> asked{0};
  std::atomic<size_t> made{0};
  const SimulatedFailures counted([&](DurableCall) {
    ++asked;
    return 0;
  });
  const auto updated = testing_support::with_calls_paused(
      {SYS_fsync, SYS_fdatasync, SYS_syncfs, SYS_rename, SYS_renameat, SYS_renameat2, SYS_unlink,
       SYS_unlinkat, SYS_rmdir},
      [&](const seccomp_data&) { ++made; },
      [&] {
        auto log = testing_support::make_captured_logger();
        FakeUser user;
        return do_update(*log.logger, testing_support::installation_at(root), user.hooks());
      });
  if (!updated) GTEST_SKIP() << "no seccomp filter here";
  ASSERT_TRUE(*updated) << updated->error().display_text();
  EXPECT_GE(made.load(), 8u);
  EXPECT_EQ(asked.load(), made.load());
}

TEST(MoveUpdatePosixTest, NameThatIsNotUtf8FailsBeforeAnyFileIsMarked) {
  const Tree trees[] = {
      {"a.exe=1", "sub/bad-\xFF=2", "sub/c=3", "unins000.dat=4", "_/a.exe=5"},
      {"a.exe=1", "sub/c=3", "unins000.dat=4", "_/a.exe=5", "_/bad-\xFF=2"},
  };
  for (const auto& before : trees) {
    testing_support::TempDir dir;
    const fs::path root = dir.path() / "app";
    testing_support::make_tree(root, before);
    const Tree tree = read_tree(root);
    auto log = testing_support::make_captured_logger();
    FakeUser user;
    const Status status =
        do_update(*log.logger, testing_support::installation_at(root), user.hooks());
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().display_text(), "Could not get entry name");
    EXPECT_EQ(read_tree(root), tree);
  }
}

// Deleting a file takes write permission on its folder, and moving a staged entry out of the
// update folder takes write permission there (and, for a folder, on itself: its ".." changes).
// What this user lacks is found before anything is deleted; as root every folder can be
// written, so the update then runs as another user, who owns the installation.
TEST(MoveUpdatePosixTest, WhatThisUserCannotDeleteOrMoveLeavesEveryOldFileInPlace) {
  constexpr uid_t kNobody = 65534;
  struct Case {
    const char* locked;                // the folder made read-only, relative to the root
    bool staged;                       // an error about a staged entry, else about a folder
    std::vector<std::string> entries;  // the entry the error may name, relative to the root
  };
  const Case cases[] = {
      {"locked", false, {"locked"}},
      {"_", true, {"_/a.exe", "_/res"}},  // whichever the listing gives first
      {"_/res", true, {"_/res"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locked);
    testing_support::TempDir dir;
    const fs::path root = dir.path() / "app";
    testing_support::make_tree(root, {"a.exe=1", "b/c.so=2", "locked/d.so=3", "unins000.dat=4",
                                      "_/a.exe=5", "_/res/e.pak=6"});
    const bool as_root = geteuid() == 0;
    if (as_root) {
      for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
        ASSERT_EQ(lchown(entry.path().c_str(), kNobody, kNobody), 0);
      }
      ASSERT_EQ(chown(dir.path().c_str(), kNobody, kNobody), 0);
    }
    fs::permissions(root / c.locked, fs::perms::owner_write, fs::perm_options::remove);
    const Tree before = read_tree(root);
    const auto installation = testing_support::installation_at(root);
    if (as_root) {
      ASSERT_TRUE(setegid(kNobody) == 0 && seteuid(kNobody) == 0);
    }
    auto log = testing_support::make_captured_logger();
    FakeUser user;
    const Status status = do_update(*log.logger, installation, user.hooks());
    if (as_root) {
      ASSERT_TRUE(seteuid(0) == 0 && setegid(0) == 0);
    }
    ASSERT_FALSE(status);
    std::vector<std::string> errors;
    for (const auto& relative : c.entries) {
      const std::string entry = join_path(installation.root, relative);
      errors.push_back(c.staged
                           ? "Staged entry " + entry + " cannot be moved into " +
                                 installation.root + ": " + std::strerror(EACCES)
                           : "Cannot delete what is in " + entry + ": " + std::strerror(EACCES));
    }
    EXPECT_THAT(errors, testing::Contains(status.error().display_text()));
    EXPECT_EQ(read_tree(root), before);
    fs::permissions(root / c.locked, fs::perms::owner_write, fs::perm_options::add);
  }
}

// A bind mount shows another folder's files inside the installation: its source is never
// emptied, neither as the update folder nor anywhere in the walk.
TEST(MoveUpdatePosixTest, BindMountsAreLeftAlone) {
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    GTEST_SKIP() << "no mount namespace of its own: " << std::strerror(errno);
  }
  testing_support::TempDir dir;
  const fs::path root = dir.path() / "app";
  testing_support::make_tree(dir.path(), {"source/a.exe=source", "app/a.exe=1", "app/data/",
                                          "app/unins000.dat", "app/_/"});
  const auto bind = [&](const fs::path& onto) {
    return mount((dir.path() / "source").c_str(), onto.c_str(), nullptr, MS_BIND, nullptr) == 0;
  };
  if (!bind(root / "_")) GTEST_SKIP() << "no bind mounts here: " << std::strerror(errno);
  auto log = testing_support::make_captured_logger();
  FakeUser user;
  Status status = do_update(*log.logger, testing_support::installation_at(root), user.hooks());
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().display_text(),
            "Update folder is a mount point or on another volume than the installation: " +
                testing_support::utf8(root / "_"));
  ASSERT_EQ(umount((root / "_").c_str()), 0);

  // Deeper in the old version, a mount point would keep its folder from being removed once
  // the files are gone, and a staged one would not move: both are found first.
  testing_support::make_tree(root, {"_/a.exe=2", "_/data/", "lib/deep/", "lib/x.so=3"});
  const std::string real_root = testing_support::installation_at(root).root;
  const std::string lib = join_path(real_root, "lib");
  const std::pair<fs::path, std::string> mounts[] = {
      {root / "lib" / "deep",
       "Cannot remove " + lib + ": another file system is mounted on " + lib + "/deep"},
      {root / "_" / "data", "Staged entry " + real_root + "/_/data cannot be moved into " +
                                real_root + ": " + std::strerror(EBUSY)},
  };
  for (const auto& [mount_point, error] : mounts) {
    ASSERT_TRUE(bind(mount_point));
    const Tree before = read_tree(root);
    status = do_update(*log.logger, testing_support::installation_at(root), user.hooks());
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().display_text(), error);
    EXPECT_EQ(read_tree(root), before);
    ASSERT_EQ(umount(mount_point.c_str()), 0);
  }
  fs::remove_all(root / "lib");
  fs::remove_all(root / "_" / "data");

  ASSERT_TRUE(bind(root / "data"));
  status = do_update(*log.logger, testing_support::installation_at(root), user.hooks());
  ASSERT_TRUE(status) << status.error().display_text();
  EXPECT_EQ(read_tree(root), (Tree{"a.exe=2", "data/", "data/a.exe=source", "unins000.dat="}));
  umount((root / "data").c_str());
  EXPECT_EQ(read_tree(dir.path() / "source"), (Tree{"a.exe=source"}));
}

// The installer wrote the paths of the uninstall log as it was given the folder, which may be a
// link's spelling of the root. The rebase takes the update folder as the caller spelled the code
// path too, not only as it resolves.
TEST(MoveUpdatePosixTest, LogThatSpellsTheRootThroughALinkIsRebasedToThatSpelling) {
  testing_support::TempDir dir;
  testing_support::make_tree(dir.path(), {"real/app/a.exe=1", "real/app/_/a.exe=2"});
  fs::create_directory_symlink(dir.path() / "real", dir.path() / "linked");
  const std::string root = testing_support::utf8(dir.path() / "linked" / "app");
  const auto texts = [](const std::string& folder) {
    const std::vector<std::string> list = {join_path(folder, "a.exe"), "", "", "", ""};
    return encode_text_list(list);
  };
  const std::vector<FileRec> records = {{0, texts(root + "/_"), FileRecType::DeleteFile}};
  const UninstallHeader header{kHeaderId, "{APP}", "Vellicor", 1048, 1, 0, 1, 0};
  const std::string log_path = testing_support::utf8(dir.path() / "real" / "app" / "unins000.dat");
  ASSERT_TRUE(write_uninstall_log(log_path, header, records));

  const auto installation = resolve_installation(root + "/a.exe");
  ASSERT_TRUE(installation) << installation.error().display_text();
  EXPECT_NE(installation->root, root);
  auto log = testing_support::make_captured_logger();
  FakeUser user;
  const Status status = do_update(*log.logger, *installation, user.hooks());
  ASSERT_TRUE(status) << status.error().display_text();
  const auto rewritten = read_uninstall_log(log_path);
  ASSERT_TRUE(rewritten) << rewritten.error().display_text();
  ASSERT_EQ(rewritten->records.size(), 1u);
  EXPECT_EQ(rewritten->records[0].data, texts(root));
}

// A folder of the old version that another program replaces with a link to a user's folder
// while the update deletes (here once every old file is held, before the first goes; the user's
// folder holds a file of the same name): the update stops at once at that folder, with an error
// that names it, deletes nothing through the link and nothing after it, and the user's folder
// keeps everything. The old files of the folder stay where it was moved to. With an old file in
// the root, which is held first and goes first; without one, the folder's files are the first to
// go, while the folder that the walk opened last is still open.
TEST(MoveUpdatePosixTest, AFolderThatBecomesALinkWhileTheUpdateDeletesStopsItThere) {
  for (const bool root_file : {true, false}) {
    SCOPED_TRACE(root_file ? "an old file in the root" : "no old file in the root");
    testing_support::TempDir dir;
    const fs::path root = dir.path() / "app";
    Tree entries = {"user/x.so=the user's", "user/keep.txt=mine", "app/lib/x.so=old",
                    "app/lib/y.so=old",     "app/unins000.dat",   "app/_/a.exe=n"};
    if (root_file) entries.push_back("app/a.exe=o");
    testing_support::make_tree(dir.path(), entries);
    const auto installation = testing_support::installation_at(root);
    auto log = testing_support::make_captured_logger();
    FakeUser user;
    const Status status =
        do_update(*log.logger, installation, user.hooks(), UpdateAuthority::Caller, [&] {
          fs::rename(root / "lib", dir.path() / "moved");
          fs::create_directory_symlink(dir.path() / "user", root / "lib");
        });
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().display_text(), join_path(installation.root, "lib") +
                                                 " changed while the update ran: it is a link now");
    EXPECT_EQ(read_tree(dir.path() / "user"), (Tree{"keep.txt=mine", "x.so=the user's"}));
    EXPECT_EQ(read_tree(dir.path() / "moved"), (Tree{"x.so=old", "y.so=old"}));
    EXPECT_FALSE(fs::exists(root / "a.exe"));
    EXPECT_TRUE(fs::is_symlink(root / "lib"));
    EXPECT_EQ(read_tree(root / "_"), (Tree{"a.exe=n"}));
    // At once: no wait gives the folder back, and no box asks.
    EXPECT_TRUE(user.waits.empty());
    EXPECT_TRUE(user.questions.empty());
  }
}

// Reading a FIFO would wait for a writer forever, after the files were replaced.
TEST(MoveUpdatePosixTest, UninstallLogThatIsAFifoGivesTheTwoWarningsAndSuccess) {
  testing_support::TempDir dir;
  const fs::path root = dir.path() / "app";
  testing_support::make_tree(root, {"a.exe=1", "_/a.exe=2"});
  ASSERT_EQ(mkfifo((root / "unins000.dat").c_str(), 0600), 0);
  auto log = testing_support::make_captured_logger();
  FakeUser user;
  const Status status =
      do_update(*log.logger, testing_support::installation_at(root), user.hooks());
  ASSERT_TRUE(status) << status.error().display_text();
  const auto lines = log.release();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
            (std::vector<std::string>{"WARN Failed to patch uninst.dat file",
                                      "WARN not a regular file"}));
  EXPECT_TRUE(fs::is_fifo(root / "unins000.dat"));
}

}  // namespace
// Every old file and every staged top-level file is held open at once. The program raises its
// soft limit of open files to the hard one as it starts (raise_open_file_limit): a soft limit
// below the number of files does not fail the update with "Too many open files".
TEST(MoveUpdatePosixTest, MoreFilesThanTheSoftDescriptorLimitAreAllReplaced) {
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
  constexpr rlim_t kLowLimit = 64;
  constexpr int kFiles = 300;
  if (before.rlim_max < 2 * kFiles + 64) GTEST_SKIP() << "hard descriptor limit too low";
  testing_support::TempDir dir;
  const fs::path root = dir.path() / "app";
  Tree entries = {"unins000.dat=log", "_/a.exe=2"};
  Tree after = {"a.exe=2", "unins000.dat=log"};
  for (int i = 0; i < kFiles; ++i) {
    const std::string top = "top" + std::to_string(i) + ".dat";
    entries.insert(entries.end(),
                   {"lib/file" + std::to_string(i) + "=1", top + "=1", "_/" + top + "=2"});
    after.push_back(top + "=2");
  }
  testing_support::make_tree(root, entries);
  std::sort(after.begin(), after.end());

  // The test process's own limit comes back whatever the outcome.
  struct Restore {
    rlimit limit;
    ~Restore() { setrlimit(RLIMIT_NOFILE, &limit); }
  } restore{before};
  const rlimit low{kLowLimit, before.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  raise_open_file_limit();
  rlimit raised{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &raised), 0);
  EXPECT_EQ(raised.rlim_cur, before.rlim_max);
  auto log = testing_support::make_captured_logger();
  FakeUser user;
  const Status status =
      do_update(*log.logger, testing_support::installation_at(root), user.hooks());
  ASSERT_TRUE(status) << status.error().display_text();
  EXPECT_EQ(read_tree(root), after);
}

}  // namespace vellicor
