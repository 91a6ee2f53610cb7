#include "update/do_update.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/path.hpp"
#include "base/sleep.hpp"
#include "support/child_process.hpp"
#include "support/fake_user.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"
#include "support/update_tree.hpp"
#include "update/installation.hpp"
#include "update/staged_entries.hpp"
#include "update/update_record.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::FakeUser;
using testing_support::make_tree;
using testing_support::read_tree;
using Tree = std::vector<std::string>;

const bool kWindows = native_path_style() == PathStyle::Windows;

class MoveUpdateTest : public testing_support::InstallationTest {
 protected:
  void make(const Tree& entries) {
    fs::create_directories(root_dir());
    make_tree(root_dir(), entries);
  }
  Tree tree() const { return read_tree(root_dir()); }

  // A whole move_update; after a success the update is recorded as moving the new version in,
  // which do_update takes back once the uninstall log is rewritten: so does this.
  Status run(FakeUser& user) {
    auto log = testing_support::make_captured_logger();
    const auto installation = testing_support::installation_at(root_dir());
    const Status status = move_update(*log.logger, installation, user.hooks());
    lines_ = log.release();
    if (status) {
      EXPECT_EQ(UpdateRecord::read(installation).value()->phase(), UpdatePhase::Moving);
      EXPECT_TRUE(UpdateRecord::remove(installation));
    }
    return status;
  }
  Status run() {
    FakeUser user;
    return run(user);
  }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

TEST_F(MoveUpdateTest, KeepsOnlyTheKeptEntriesDirectlyInTheRoot) {
  struct Case {
    const char* name;
    Tree before;
    Tree after;
    std::optional<Tree> after_on_windows;  // where Windows' names ignore letter case
    bool posix_only;
  };
  const Case cases[] = {
      {"kept names",
       {"unins000.dat=log", "unins001.dat", "uninsfoo/x", "tools/t.txt", "tools.txt", "a.exe=1",
        "_/a.exe=2"},
       {"a.exe=2", "tools/", "tools/t.txt=", "unins000.dat=log", "unins001.dat=", "uninsfoo/",
        "uninsfoo/x="},
       std::nullopt,
       false},
      {"names that are kept only where letter case does not count",
       {"Tools/y", "Unins000.dat", "_/a.exe=n"},
       {"a.exe=n"},
       Tree{"Tools/", "Tools/y=", "Unins000.dat=", "a.exe=n"},
       false},
      {"kept names one level down are deleted",
       {"bin/tools/x", "bin/unins000.dat", "bin/_/y", "_/bin/z=z", "_/a.exe"},
       {"a.exe=", "bin/", "bin/z=z"},
       std::nullopt,
       false},
      {"case variants side by side",
       {"unins000.dat", "unins001.dat", "uninsfoo", "tools/", "Tools/", "Unins000.dat", "tools.txt",
        "_/a.exe"},
       {"a.exe=", "tools/", "unins000.dat=", "unins001.dat=", "uninsfoo="},
       std::nullopt,
       true},  // Windows file names ignore case, so these cannot sit side by side there
  };
  for (const auto& c : cases) {
    if (c.posix_only && kWindows) continue;
    SCOPED_TRACE(c.name);
    fs::remove_all(root_dir());
    make(c.before);
    const Status status = run();
    ASSERT_TRUE(status) << status.error().display_text();
    Tree after = kWindows && c.after_on_windows ? *c.after_on_windows : c.after;
    std::sort(after.begin(), after.end());
    EXPECT_EQ(tree(), after);
  }
}

TEST_F(MoveUpdateTest, UpdateFolderEntryReplacesAKeptRootFile) {
  make({"unins000.dat=old", "_/unins000.dat=new", "_/a.exe"});
  ASSERT_TRUE(run());
  EXPECT_EQ(tree(), (Tree{"a.exe=", "unins000.dat=new"}));
}

// An update folder that cannot hold a new version of this installation is refused before
// anything is touched.
TEST_F(MoveUpdateTest, UnsuitableUpdateFolderTouchesNothing) {
  struct Case {
    const char* name;
    Tree update;         // what makes the update folder
    std::string error;   // the whole error text, or its end for system errors
    bool links = false;  // the folder is a link to a folder outside (POSIX)
  };
  const std::string folder = at("_");
  const Case cases[] = {
      {"missing", {}, " (os error 2)"},
      {"a file", {"_=not a folder"}, "Update folder is not a directory"},
      {"empty", {"_/"}, "Update folder holds no a.exe: " + folder},
      {"without the executable",
       {"_/b.exe", "_/a.exe.bak", "_/sub/a.exe"},
       "Update folder holds no a.exe: " + folder},
      {"a link to a folder outside",
       {},
       "Update folder is a link to another folder: " + folder + " leads to ",
       true},
      // What the move-in could not do once the old version is gone.
      {"a folder onto a kept folder",
       {"tools/x", "_/a.exe", "_/tools/y"},
       "Staged entry " + join_path(folder, "tools") + " cannot replace " + at("tools") +
           ", which the update keeps"},
      {"a file onto a kept folder",
       {"tools/x", "_/a.exe", "_/tools=file"},
       "Staged entry " + join_path(folder, "tools") + " cannot replace " + at("tools") +
           ", which the update keeps"},
      {"the update folder inside itself",
       {"_/a.exe", "_/_/z"},
       "Staged entry " + join_path(folder, "_") + " cannot replace " + folder +
           ", which the update keeps"},
      {"a name the updater uses itself",
       {"_/a.exe", "_/.vellicor-update"},
       "Update folder holds a name that the updater uses itself: " +
           join_path(folder, ".vellicor-update")},
  };
  const Tree old = {"a.exe=1", "res/a.pak=2", "unins000.dat=3"};
  for (const auto& c : cases) {
    if (c.links && kWindows) continue;
    SCOPED_TRACE(c.name);
    fs::remove_all(root_dir());
    make(old);
    make(c.update);
    testing_support::TempDir outside;
    if (c.links) {
      outside.write_file("a.exe", "outside");
      fs::create_directory_symlink(outside.path(), root_dir() / "_");
    }
    const Tree before = tree();
    const Status status = run();
    ASSERT_FALSE(status);
    const std::string text = status.error().display_text();
    EXPECT_TRUE(c.links ? text.starts_with(c.error) : text.ends_with(c.error)) << text;
    EXPECT_EQ(tree(), before);
    EXPECT_EQ(lines().size(), 1u);  // "move_update: ", nothing listed
    if (c.links) {
      EXPECT_EQ(read_tree(outside.path()), (Tree{"a.exe=outside"}));
    }
  }
}

TEST_F(MoveUpdateTest, LinesOfAWholeRunComeInPhaseOrder) {
  make({"a.exe=old", "d/b.dll", "unins000.dat", "_/a.exe=new"});
  ASSERT_TRUE(run());
  const std::vector<std::string> expected = {
      "INFO move_update: " + at("unins000.dat") + ", _",
      "INFO Reading directory: " + root(),
      "INFO Get file handle: " + at("a.exe") + " (attempt 1)",
      "INFO Reading directory: " + at("d"),
      "INFO Get file handle: " + join_path(at("d"), "b.dll") + " (attempt 1)",
      "INFO Collected all directories and file handles",
      // Durable before destructive: the staged version, then the record, then the first mark.
      "INFO Wrote the staged version to the disk",
      "INFO Recorded the update in progress: deleting the old version",
      "INFO All file handles marked for deletion",
      "INFO All files deleted",
      "INFO Delete directory recursively: " + at("d") + " (attempt 1)",
      "INFO Recorded the update in progress: moving the new version in",
      "INFO Rename: a.exe (attempt 1)",
      "INFO Delete: " + at("_"),
  };
  EXPECT_EQ(lines(), expected);
  EXPECT_EQ(tree(), (Tree{"a.exe=new", "unins000.dat="}));
}

constexpr auto kWrite = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;

bool read_only(const fs::path& path) {
  return (fs::status(path).permissions() & kWrite) == fs::perms::none;
}

// Windows refuses to delete read-only files and folders; they go like the others, their
// attribute cleared just before. (A read-only folder on POSIX is one whose entries cannot be
// deleted: see the POSIX tests.)
TEST_F(MoveUpdateTest, ReadOnlyOldFilesAndFoldersAreDeletedLikeTheOthers) {
  make({"a.exe=1", "b/c.dll=2", "b/locked.dll=3", "unins000.dat=5", "_/a.exe=6"});
  fs::permissions(root_dir() / "b" / "locked.dll", kWrite, fs::perm_options::remove);
  if (kWindows) fs::permissions(root_dir() / "b", kWrite, fs::perm_options::remove);
  const Status status = run();
  ASSERT_TRUE(status) << status.error().display_text();
  EXPECT_EQ(tree(), (Tree{"a.exe=6", "unins000.dat=5"}));
}

// A running program cannot be marked for deletion on Windows. The files marked before it are
// unmarked again, a read-only one read-only again: the whole old version stays as it was, and
// so does no record of an update.
TEST_F(MoveUpdateTest, FileThatCannotBeDeletedLeavesEveryOldFileInPlace) {
  if (!kWindows) GTEST_SKIP() << "a running program's file can be deleted on POSIX";
  make({"a.exe=1", "locked.dll=2", "b/c.dll=3", "unins000.dat=5", "_/a.exe=6"});
  fs::copy_file(testing_support::from_utf8(testing_support::platform_path(VELLICOR_SLEEPER)),
                root_dir() / "b" / "running.exe");
  fs::permissions(root_dir() / "locked.dll", kWrite, fs::perm_options::remove);
  const std::string marker = testing_support::utf8(root_dir().parent_path() / "running");
  const auto program =
      testing_support::ChildProcess::start(join_path(at("b"), "running.exe"), {"60", "-", marker});
  ASSERT_TRUE(program);
  for (int i = 0; i < 1000 && !fs::exists(testing_support::from_utf8(marker)); ++i) {
    sleep_milliseconds(10);
  }
  const Tree before = tree();
  FakeUser user;
  const Status status = run(user);
  const bool locked_read_only = read_only(root_dir() / "locked.dll");
  fs::permissions(root_dir() / "locked.dll", kWrite, fs::perm_options::add);
  ASSERT_FALSE(status);
  const std::string start =
      "Failed to mark file for deletion: " + join_path(at("b"), "running.exe") + ": ";
  EXPECT_TRUE(status.error().display_text().starts_with(start)) << status.error().display_text();
  EXPECT_GT(status.error().display_text().size(), start.size());  // and the system's text
  EXPECT_EQ(user.questions.size(), 1u);
  EXPECT_EQ(tree(), before);
  EXPECT_TRUE(locked_read_only);
}

// The move-in renames staged entries by path, which Windows' path handling would take as a
// device, or as another name; under POSIX rules every name is a name.
TEST(StagedEntriesTest, NamesThatWindowsCannotHoldAreFoundUnderItsRulesOnly) {
  Installation installation;
  installation.root = R"(C:\Apps\Vellicor)";
  installation.update_folder = R"(C:\Apps\Vellicor\_)";
  const auto staged = [](std::optional<std::string> name) {
    return std::vector<DirEntry>{{"App.exe"}, {std::move(name)}};
  };
  const std::string start = R"(Staged entry C:\Apps\Vellicor\_\)";
  struct Case {
    std::optional<std::string> name;
    std::optional<std::string> windows_error, posix_error;
  };
  const Case cases[] = {
      {"aux.txt", start + "aux.txt has a name that Windows cannot hold: a device name",
       std::nullopt},
      {"x.", start + "x. has a name that Windows cannot hold: a trailing dot or space",
       std::nullopt},
      {"a:b", start + "a:b has a name that Windows cannot hold: a character that Windows forbids",
       std::nullopt},
      {"resources", std::nullopt, std::nullopt},
      {std::nullopt, "Could not get entry name", "Could not get entry name"},
  };
  for (const auto& c : cases) {
    for (const auto& [style, error] :
         {std::pair{PathStyle::Windows, c.windows_error}, {PathStyle::Posix, c.posix_error}}) {
      const Status status = check_staged_names(installation, staged(c.name), style);
      EXPECT_EQ(status ? std::nullopt : std::optional(status.error().display_text()), error)
          << c.name.value_or("(no name)");
    }
  }
}

// A file that another process holds open: the open is retried 16 times, then the user is asked.
class LockedFileTest : public MoveUpdateTest {
 protected:
  void SetUp() override {
    make(before_);
    const std::string marker = testing_support::utf8(root_dir().parent_path() / "held");
    holder_ = testing_support::ChildProcess::start(testing_support::platform_path(VELLICOR_SLEEPER),
                                                   {"60", at("res/locked.pak"), marker});
    ASSERT_TRUE(holder_);
    for (int i = 0; i < 1000 && !fs::exists(testing_support::from_utf8(marker)); ++i) {
      sleep_milliseconds(10);
    }
    ASSERT_TRUE(fs::exists(testing_support::from_utf8(marker)));
  }

  std::string locked() const { return join_path(at("res"), "locked.pak"); }

  std::vector<std::string> open_attempts() const {
    std::vector<std::string> attempts;
    for (const auto& line : lines()) {
      if (line.starts_with("INFO Get file handle: " + locked())) attempts.push_back(line);
    }
    return attempts;
  }

  static std::vector<std::string> attempt_lines(const std::string& path, int from, int to) {
    std::vector<std::string> out;
    for (int n = from; n <= to; ++n) {
      out.push_back("INFO Get file handle: " + path + " (attempt " + std::to_string(n) + ")");
    }
    return out;
  }

  void expect_question(const std::string& question) const {
    const std::string start = "There was an error while Opening file handle: " + locked() +
                              ":\n\nFailed to create file handle: ";
    EXPECT_TRUE(question.starts_with(start)) << question;
    EXPECT_TRUE(
        question.ends_with("\n\nPlease verify there are no Vellicor processes still "
                           "executing."))
        << question;
    EXPECT_GT(question.size(), start.size() + 70);  // the system's text is in between
  }

  const Tree before_ = {"a.exe=1", "res/locked.pak=2", "res/z.pak=3", "unins000.dat=4",
                        "_/a.exe=5"};
  std::unique_ptr<testing_support::ChildProcess> holder_;
};

TEST_F(LockedFileTest, CancelLeavesEveryOldFileInPlace) {
  const size_t handles_before = testing_support::open_handle_count();
  FakeUser user;
  const Status status = run(user);
  ASSERT_FALSE(status);
  EXPECT_TRUE(status.error().display_text().starts_with("Failed to create file handle: "));
  EXPECT_EQ(open_attempts(), attempt_lines(locked(), 1, 16));
  EXPECT_EQ(user.waits, testing_support::series_waits(16));
  ASSERT_EQ(user.questions.size(), 1u);
  expect_question(user.questions[0]);
  EXPECT_EQ(tree(), (Tree{"_/", "_/a.exe=5", "a.exe=1", "res/", "res/locked.pak=2", "res/z.pak=3",
                          "unins000.dat=4"}));
  // The handles of the files opened before the locked one were closed, unmarked.
  EXPECT_EQ(testing_support::open_handle_count(), handles_before);
}

TEST_F(LockedFileTest, RetryStartsANewSeriesWithoutWaiting) {
  FakeUser user;
  user.answers = {MessageBoxAnswer::Retry, MessageBoxAnswer::Cancel};
  ASSERT_FALSE(run(user));
  auto expected = attempt_lines(locked(), 1, 16);
  const auto second = attempt_lines(locked(), 1, 16);
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(open_attempts(), expected);
  auto waits = testing_support::series_waits(16);
  waits.insert(waits.end(), waits.begin(), waits.end());
  EXPECT_EQ(user.waits, waits);
  EXPECT_EQ(user.questions.size(), 2u);
}

TEST_F(LockedFileTest, RetryAfterTheFileWasReleasedCompletesTheUpdate) {
  FakeUser user;
  user.answers = {MessageBoxAnswer::Retry};
  RetryHooks hooks = user.hooks();
  auto ask = hooks.ask;
  hooks.ask = [&](std::string_view text) {
    holder_.reset();  // the user closes the program that held the file, then presses Retry
    return ask(text);
  };
  auto log = testing_support::make_captured_logger();
  const Status status = do_update(*log.logger, testing_support::installation_at(root_dir()), hooks);
  ASSERT_TRUE(status) << status.error().display_text();
  EXPECT_EQ(tree(), (Tree{"a.exe=5", "unins000.dat=4"}));
}

}  // namespace
}  // namespace vellicor
