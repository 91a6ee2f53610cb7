#include "update/do_update.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include "base/entry_identity.hpp"
#include "base/fs.hpp"
#include "base/hex.hpp"
#include "base/path.hpp"
#include "base/simulated_failure.hpp"
#include "model/filerec/text_list.hpp"
#include "model/uninstall_log.hpp"
#include "support/child_process.hpp"
#include "support/fake_user.hpp"
#include "support/file_times.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"
#include "support/update_tree.hpp"
#include "update/logon_decision.hpp"
#include "update/record_match.hpp"
#include "update/staged_check.hpp"
#include "update/update_check.hpp"
#include "update/update_context.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using testing_support::FakeUser;
using testing_support::make_tree;
using testing_support::read_tree;
using testing_support::TempDir;
using Lines = std::vector<std::string>;

const bool kWindows = native_path_style() == PathStyle::Windows;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

FileRec text_record(FileRecType type, const std::vector<std::string>& texts) {
  return {0, encode_text_list(texts), type};
}

UninstallHeader header_for(size_t records) {
  return {kHeaderId, "{APP}", "Vellicor", 1048, static_cast<uint32_t>(records), 0, 1, 0};
}

class DoUpdateTest : public testing_support::InstallationTest {
 protected:
  std::string code_path() const { return at("a.exe"); }

  // A log naming files in the update folder, in the root and elsewhere.
  void write_log(const std::string& where, const std::string& folder) {
    const std::vector<FileRec> records = {
        {0, {1, 2, 3}, FileRecType::StartInstall},
        text_record(FileRecType::DeleteDirOrFiles, {join_path(folder, "d")}),
        text_record(FileRecType::DeleteFile, {join_path(folder, "a.exe"), "", "", "", ""}),
        text_record(FileRecType::DeleteFile, {join_path(folder + "old", "x"), "", "", "", ""}),
        text_record(FileRecType::DeleteFile, {"elsewhere", "", "", "", ""}),
    };
    ASSERT_TRUE(write_uninstall_log(where, header_for(records.size()), records));
  }

  Status run(Lines& lines) {
    auto log = testing_support::make_captured_logger();
    FakeUser user;
    const Status status =
        do_update(*log.logger, testing_support::installation_at(root_dir()), user.hooks());
    lines = log.release();
    return status;
  }
};

TEST_F(DoUpdateTest, CompleteRunLogsEveryStepInOrderAndRebasesTheLog) {
  make_tree(root_dir(), {"a.exe=old", "d/b.dll", "_/a.exe=new"});
  write_log(at("unins000.dat"), at("_"));
  const auto before = read_uninstall_log(at("unins000.dat"));
  ASSERT_TRUE(before);
  Lines lines;
  const Status status = run(lines);
  ASSERT_TRUE(status) << status.error().display_text();

  auto log = read_uninstall_log(at("unins000.dat"));
  ASSERT_TRUE(log) << log.error().display_text();
  const Lines expected = {
      "INFO do_update: " + code_path() + ", _",
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
      "INFO header: " + header_text(before->header),
      "INFO num_recs: 5",
      "INFO Updating uninstall file " + at("unins000.dat"),
  };
  EXPECT_EQ(lines, expected);

  // Paths in the update folder now name the root; the same number of records, in order.
  ASSERT_EQ(log->records.size(), 5u);
  EXPECT_EQ(log->records[0], (FileRec{0, {1, 2, 3}, FileRecType::StartInstall}));
  EXPECT_EQ(decode_text_list(log->records[1].data), (std::vector<std::string>{at("d")}));
  EXPECT_EQ(decode_text_list(log->records[2].data),
            (std::vector<std::string>{at("a.exe"), "", "", "", ""}));
  EXPECT_EQ(decode_text_list(log->records[3].data),
            (std::vector<std::string>{join_path(at("_") + "old", "x"), "", "", "", ""}));
  EXPECT_EQ(decode_text_list(log->records[4].data),
            (std::vector<std::string>{"elsewhere", "", "", "", ""}));
  // The header is valid and its end offset is the file's length.
  EXPECT_EQ(log->header.end_offset, fs::file_size(root_dir() / "unins000.dat"));
  EXPECT_EQ(read_tree(root_dir()),
            (std::vector<std::string>{"a.exe=new",
                                      "unins000.dat=" + read_file(root_dir() / "unins000.dat")}));
}

TEST_F(DoUpdateTest, LogStagedWithTheUpdateReplacesTheOldOneAndIsPatched) {
  make_tree(root_dir(), {"a.exe=old", "unins000.dat=the old log", "_/a.exe=new"});
  write_log(at("_/unins000.dat"), at("_"));
  Lines lines;
  ASSERT_TRUE(run(lines));
  auto log = read_uninstall_log(at("unins000.dat"));
  ASSERT_TRUE(log) << log.error().display_text();
  EXPECT_EQ(decode_text_list(log->records[2].data),
            (std::vector<std::string>{at("a.exe"), "", "", "", ""}));
}

// Every durable call of an update failing in turn, once, inside the test's process (as SQLite's
// SimulateIOError sweeps do): whatever the failing run left, the same command run again without a
// failure ends in the new version, exactly as an update that never failed, with no record. A
// flush's error is never taken for success: the run fails, or (the uninstall log's rewrite) ends
// with a warning and leaves the rewrite to the next run. A rename's or a removal's error may
// pass on a retry.
TEST_F(DoUpdateTest, EveryDurableCallFailingInTurnLosesNothing) {
  const auto prepare = [&] {
    fs::remove_all(root_dir());
    make_tree(root_dir(), {"a.exe=old", "d/b.dll=old", "d/e/c.dll=old", "_/a.exe=new",
                           "_/d/b.dll=new", "_/f/g.dat=new"});
    write_log(at("unins000.dat"), at("_"));
  };
  prepare();
  std::vector<DurableCall> calls;
  Lines lines;
  {
    const SimulatedFailures counted([&](DurableCall call) {
      calls.push_back(call);
      return 0;
    });
    ASSERT_TRUE(run(lines));
  }
  const auto updated = read_tree(root_dir());
  ASSERT_GE(calls.size(), 6u);
  RecordProperty("durable_calls", static_cast<int>(calls.size()));
  // Each platform's codes of a failing device and of a full one (EIO, ENOSPC;
  // ERROR_IO_DEVICE, ERROR_DISK_FULL).
  const std::vector<int> codes = kWindows ? std::vector<int>{1117, 112} : std::vector<int>{5, 28};
  size_t failed_runs = 0;
  for (const int code : codes) {
    for (size_t failing = 0; failing < calls.size(); ++failing) {
      SCOPED_TRACE("code " + std::to_string(code) + ", durable call " + std::to_string(failing));
      prepare();
      size_t made = 0;
      bool flush_failed = false;
      Status first;
      {
        const SimulatedFailures once([&](DurableCall call) {
          if (made++ != failing) return 0;
          flush_failed = call == DurableCall::Flush || call == DurableCall::SyncFileSystem;
          return code;
        });
        first = run(lines);
      }
      const bool warned = std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.starts_with("WARN ");
      });
      if (flush_failed) {
        EXPECT_TRUE(!first || warned) << "a failed flush taken for success";
      }
      failed_runs += !first;
      if (first && !fs::exists(root_dir() / ".vellicor-update")) {
        EXPECT_EQ(read_tree(root_dir()), updated);
        continue;
      }
      const Status again = run(lines);
      ASSERT_TRUE(again) << again.error().display_text();
      EXPECT_EQ(read_tree(root_dir()), updated);
    }
  }
  EXPECT_GT(failed_runs, 0u);
}

// Running the same command again after an interruption finishes the update from the phase its
// record names: the same tree and log as an update that was never cut short, and no record.
TEST_F(DoUpdateTest, ResumesAnInterruptedUpdateFromItsRecord) {
  const std::string deleting = "Vellicor update in progress: deleting the old version\n";
  const std::string moving = "Vellicor update in progress: moving the new version in\n";
  struct Case {
    const char* name;
    std::string record;
    Lines tree;
    bool log_staged;  // the log to rewrite is still in the update folder
    std::string resumes_at;
    // The record names a.exe in the root, d and unins000.dat in the update folder as an earlier
    // build did, by "<volume>:<index>" (POSIX: the device and the inode).
    bool earlier_identities = false;
  };
  const Case cases[] = {
      {"deleting, the old executable gone",
       deleting,
       {"d/b.dll=old", "_/a.exe=new", "_/d/e.dll=new"},
       true,
       "deleting the old version"},
      {"moving, in part",
       moving,
       {"a.exe=new", "_/d/e.dll=new"},
       true,
       "moving the new version in"},
      {"moving, the update folder gone",
       moving,
       {"a.exe=new", "d/e.dll=new"},
       false,
       "moving the new version in"},
      {"moving, with the leftovers of rewrites cut short",
       moving,
       {"a.exe=new", "d/e.dll=new", "unins000.dat.tmp=half", ".vellicor-update.tmp=half"},
       false,
       "moving the new version in"},
      {"moving, in part, recorded by an earlier build",
       moving,
       {"a.exe=new", "_/d/e.dll=new"},
       true,
       "moving the new version in",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root_dir());
    make_tree(root_dir(), c.tree);
    write_log(at(c.log_staged ? "_/unins000.dat" : "unins000.dat"), at("_"));
    std::string record = c.record;
    if (c.earlier_identities) {
      if (kWindows) continue;  // Wine's drives take no numbers
      for (const auto* path : {"a.exe", "_/d", "_/unins000.dat"}) {
        const auto number = metadata(at(path)).value().identity;
        record += "staged " + lower_hex(number.volume) + ":" + lower_hex(number.index) + " " +
                  *path_file_name(path) + "\n";
      }
    }
    make_tree(root_dir(), {".vellicor-update=" + record});
    Lines lines;
    const Status status = run(lines);
    ASSERT_TRUE(status) << status.error().display_text();
    EXPECT_EQ(lines[1], "INFO Resuming an interrupted update at " + c.resumes_at);
    auto log = read_uninstall_log(at("unins000.dat"));
    ASSERT_TRUE(log) << log.error().display_text();
    EXPECT_EQ(decode_text_list(log->records[2].data),
              (std::vector<std::string>{at("a.exe"), "", "", "", ""}));
    EXPECT_EQ(read_tree(root_dir()),
              (std::vector<std::string>{"a.exe=new", "d/", "d/e.dll=new",
                                        "unins000.dat=" + read_file(root_dir() / "unins000.dat")}));
  }
}

// An update cut short in its move-in, as its record and the disk are then: the old version
// deleted, the entries `moved` renamed into the root, the record "moving the new version in"
// written as the update wrote it (identities and stamps of every entry, both logs).
class CutMoveInTest : public DoUpdateTest {
 protected:
  // The old version and, staged, the new one with its own log; the complete new version has
  // a.exe, n/c.txt and zz.txt.
  void make_installation() {
    fs::remove_all(root_dir());
    make_tree(root_dir(),
              {"a.exe=old", "old.txt=old", "_/a.exe=new", "_/n/c.txt=new", "_/zz.txt=new"});
    write_files_log(at("unins000.dat"), root(), {"a.exe", "old.txt"});
    write_files_log(at("_/unins000.dat"), at("_"), {"a.exe", "n/c.txt", "zz.txt"});
  }

  void write_files_log(const std::string& where, const std::string& folder, const Lines& files) {
    std::vector<FileRec> records;
    for (const auto& file : files) {
      records.push_back(
          text_record(FileRecType::DeleteFile, {join_path(folder, file + ""), "", "", "", ""}));
    }
    ASSERT_TRUE(write_uninstall_log(where, header_for(records.size()), records));
  }

  StagedEntry entry_of(const std::string& folder, const std::string& name) {
    const std::string path = join_path(folder, name);
    const auto traits = entry_traits(path).value();
    const bool is_folder = traits.kind == EntryKind::Directory;
    return {name, entry_identity(path).value(),
            EntryStamp{traits.kind, is_folder ? 0 : traits.size, traits.modified}};
  }

  // What had moved in, or kCutWhileDeleting: old.txt deleted, a.exe not yet.
  static inline const Lines kCutWhileDeleting = {"(cut while deleting)"};
  void cut_after_moving(const Lines& moved) {
    make_installation();
    RecordContent record;
    const bool deleting = moved == kCutWhileDeleting;
    record.phase = deleting ? UpdatePhase::Deleting : UpdatePhase::Moving;
    record.knows_installation = true;
    record.began_over = recorded_log(at("unins000.dat")).value();
    record.staged_log = recorded_log(at("_/unins000.dat")).value();
    for (const auto* name : {"a.exe", "old.txt"})
      record.old_entries.push_back(entry_of(root(), name));
    const auto staged = list_directory(at("_")).value();
    for (const auto& entry : staged)
      record.staged.push_back(entry_of(at("_"), *entry.name));
    ASSERT_TRUE(UpdateRecord(record).write(testing_support::installation_at(root_dir())));
    fs::remove(root_dir() / "old.txt");
    if (deleting) return;
    fs::remove(root_dir() / "a.exe");
    for (const auto& name : moved)
      fs::rename(root_dir() / "_" / name, root_dir() / name);
  }

  // Another version staged anew: new files, never the numbers of the ones they replace.
  void stage_anew(const Lines& tree, const Lines& logged) {
    fs::remove_all(root_dir() / "_");
    make_tree(root_dir(), tree);
    write_files_log(at("_/unins000.dat"), at("_"), logged);
  }

  // The installer lays the old version out anew, around what it does not know.
  void reinstall() {
    fs::remove(root_dir() / "a.exe");
    make_tree(root_dir(), {"a.exe=old", "old.txt=old"});
    fs::remove(root_dir() / "unins000.dat");
    write_files_log(at("unins000.dat"), root(), {"a.exe", "old.txt"});
  }

  // A copy of the whole installation taken away and put back (a restore from a backup): every
  // entry new, with its name, kind, size and last-write time.
  void copy_away_and_back() {
    TempDir away;
    fs::copy(root_dir(), away.path() / "copy", fs::copy_options::recursive);
    const auto keep_times = [](const fs::path& from, const fs::path& to) {
      std::vector<fs::path> entries;
      for (auto it = fs::recursive_directory_iterator(from);
           it != fs::recursive_directory_iterator(); ++it) {
        entries.push_back(it->path().lexically_relative(from));
      }
      // Deepest first, so that no folder's time is changed again by what goes into it.
      std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return std::distance(a.begin(), a.end()) > std::distance(b.begin(), b.end());
      });
      for (const auto& entry : entries)
        testing_support::copy_last_write_time(from / entry, to / entry);
    };
    keep_times(root_dir(), away.path() / "copy");
    fs::remove_all(root_dir());
    fs::copy(away.path() / "copy", root_dir(), fs::copy_options::recursive);
    keep_times(away.path() / "copy", root_dir());
  }

  // The folder made anew, with what it held and its time.
  void remake_folder(const std::string& name) {
    const fs::path folder = root_dir() / name;
    TempDir away;
    fs::copy(folder, away.path() / "copy", fs::copy_options::recursive);
    testing_support::copy_last_write_time(folder, away.path() / "copy");
    fs::remove_all(folder);
    fs::copy(away.path() / "copy", folder, fs::copy_options::recursive);
    testing_support::copy_last_write_time(away.path() / "copy", folder);
  }

  // The tree with the logs' contents left out, and whether the record is there.
  Lines tree() {
    auto entries = read_tree(root_dir());
    for (auto& entry : entries) {
      if (entry.starts_with("unins000.dat=") || entry.starts_with("_/unins000.dat=")) {
        entry = entry.substr(0, entry.find('='));
      } else if (entry.starts_with(".vellicor-update=")) {
        entry = ".vellicor-update";
      }
    }
    return entries;
  }
};

// Once the move-in began, what it moved in is the new version: a run finishes that update or
// touches nothing, whatever changed before it (by hand, its check, and the run at logon).
TEST_F(CutMoveInTest, AMoveInOnceBegunIsOnlyEverFinished) {
  const Lines complete = {"a.exe=new", "n/", "n/c.txt=new", "unins000.dat", "zz.txt=new"};
  const auto with = [&](Lines more) {
    more.insert(more.end(), complete.begin(), complete.end());
    std::sort(more.begin(), more.end());
    return more;
  };
  const std::string cannot =
      "The interrupted update cannot be completed: its new version is in "
      "part in place, and ";
  const std::string remade =
      "The interrupted update cannot be completed: 1 entry of its new version is replaced, the "
      "first " +
      at("n");
  const std::string leftover = "The update record " + at(".vellicor-update") +
                               " belongs to an earlier update (" + at("unins000.dat") +
                               " was written since): " + at("_") +
                               " holds the rest of its new version, which is no version to "
                               "install: remove " +
                               at("_") + ", or let the application stage again";
  const auto newer = [this] { stage_anew({"_/a.exe=newer"}, {"a.exe"}); };
  struct Case {
    const char* name;
    Lines moved;
    std::function<void()> change;
    std::string error;                // of the run by hand, and its check; empty: it succeeds
    Lines after;                      // by hand: the tree after a success
    std::string at_logon;             // "finish", "nothing" (the record stays), or the error
    Lines logon_after = {};           // the tree after a run at logon that finishes (or `after`)
    std::function<void()> undo = {};  // what lets the same command finish after a refusal
  };
  const Case cases[] = {
      // The staged log moved in is one the record knows.
      {"nothing changed", {"a.exe", "n", "unins000.dat"}, [] {}, "", complete, "finish"},
      {"an entry added to the update folder",
       {"a.exe", "n", "unins000.dat"},
       [this] { make_tree(root_dir(), {"_/extra.dll=more"}); },
       cannot + join_path(at("_"), "extra.dll") + " is not an entry it began with",
       {},
       cannot + join_path(at("_"), "extra.dll") + " is not an entry it began with",
       {},
       [this] { fs::remove(root_dir() / "_/extra.dll"); }},
      {"a still staged entry written anew",
       {"a.exe"},
       [this] {
         make_tree(root_dir(), {"_/zz.new=newer"});
         fs::rename(root_dir() / "_/zz.new", root_dir() / "_/zz.txt");
       },
       cannot + join_path(at("_"), "zz.txt") + " is not as it was staged",
       {},
       cannot + join_path(at("_"), "zz.txt") + " is not as it was staged"},
      // That update is finished first; at logon, only that one.
      {"all of it moved in, then another version staged",
       {"a.exe", "n", "zz.txt", "unins000.dat"},
       newer,
       "",
       {"a.exe=newer", "unins000.dat"},
       "finish",
       with({"_/", "_/a.exe=newer", "_/unins000.dat"})},
      {"reinstalled, the rest of the move-in still staged",
       {"a.exe", "n"},
       [this] { reinstall(); },
       leftover,
       {},
       "nothing",
       {},
       [this] {
         stage_anew({"_/a.exe=new", "_/n/c.txt=new", "_/zz.txt=new"},
                    {"a.exe", "n/c.txt", "zz.txt"});
       }},
      {"reinstalled before anything moved in",
       {},
       [this] { reinstall(); },
       "",
       complete,
       "nothing"},
      {"copied away and back",
       {"a.exe", "n", "unins000.dat"},
       [this] { copy_away_and_back(); },
       "",
       complete,
       "finish"},
      // Only a whole copy is told by kinds, sizes and times: one folder made anew is another,
      // even within one tick of the volume's clock.
      {"a moved-in folder made anew, at its time",
       {"a.exe", "n", "unins000.dat"},
       [this] { remake_folder("n"); },
       remade,
       {},
       remade},
      // What the application wrote where a staged entry goes is kept, never replaced.
      {"a file where a staged one goes",
       {"a.exe", "n", "unins000.dat"},
       [this] { make_tree(root_dir(), {"zz.txt=the application's"}); },
       "",
       with({"zz.txt.set-aside-by-update=the application's"}),
       "finish"},
      {"a folder where a staged one goes",
       {"a.exe", "unins000.dat"},
       [this] { make_tree(root_dir(), {"n/app.log=the application's"}); },
       "",
       with({"n.set-aside-by-update/", "n.set-aside-by-update/app.log=the application's"}),
       "finish"},
      {"the executable put back",
       {"n", "zz.txt", "unins000.dat"},
       [this] { make_tree(root_dir(), {"a.exe=put back"}); },
       "",
       with({"a.exe.set-aside-by-update=put back"}),
       "finish"},
      // Nothing was moved in yet: by hand a fresh update with all its checks; at logon nothing
      // of what the record does not know is deleted.
      {"cut while deleting, then a file that the record does not know", kCutWhileDeleting,
       [this] { make_tree(root_dir(), {"new.txt=the application's"}); }, "", complete,
       "The update record " + at(".vellicor-update") + " belongs to an earlier update (" +
           at("new.txt") + " is not an entry of the version it was deleting): a run at logon " +
           "finishes no other update"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto installation = testing_support::installation_at(root_dir());
    // By hand: its check says what the update then does.
    cut_after_moving(c.moved);
    c.change();
    const Lines before = tree();
    auto quiet = testing_support::make_captured_logger();
    auto check = check_update_would_start({*quiet.logger, installation, {}}, "");
    quiet.release();
    Lines lines;
    Status status = run(lines);
    EXPECT_EQ(check.has_value(), status.has_value());
    if (c.error.empty()) {
      EXPECT_TRUE(status) << status.error().display_text();
      EXPECT_EQ(tree(), c.after);
      EXPECT_EQ(why_not_whole(installation), std::nullopt);
    } else {
      ASSERT_FALSE(status);
      EXPECT_EQ(status.error().display_text(), c.error);
      if (!check) {
        EXPECT_EQ(check.error().display_text(), c.error);
      }
      EXPECT_EQ(tree(), before);
      if (c.undo) {
        c.undo();
        EXPECT_TRUE(run(lines));
        EXPECT_EQ(tree(), complete);
      }
    }

    // At logon, from the same state.
    cut_after_moving(c.moved);
    c.change();
    const Lines logon_before = tree();
    auto log = testing_support::make_captured_logger();
    FakeUser user;
    const UpdateContext update{*log.logger, installation, user.hooks()};
    auto verdict = decide_at_logon(update);
    if (verdict && *verdict == LogonVerdict::Finish) {
      status = do_update(*log.logger, installation, user.hooks(), UpdateAuthority::Record);
    }
    log.release();
    if (c.at_logon == "finish") {
      ASSERT_TRUE(verdict && *verdict == LogonVerdict::Finish);
      EXPECT_TRUE(status) << status.error().display_text();
      EXPECT_EQ(tree(), c.logon_after.empty() ? c.after : c.logon_after);
    } else if (c.at_logon == "nothing") {
      ASSERT_TRUE(verdict);
      EXPECT_EQ(*verdict, LogonVerdict::NothingToDo);
      // Set aside only where the update folder holds no rest of the move-in.
      const bool kept = c.error == leftover;
      EXPECT_EQ(
          tree(), kept ? logon_before : [&] {
            auto without = logon_before;
            std::erase(without, ".vellicor-update");
            return without;
          }());
    } else {
      ASSERT_FALSE(verdict);
      EXPECT_EQ(verdict.error().display_text(), c.at_logon);
      EXPECT_EQ(tree(), logon_before);
    }
  }
}

// A record that this program did not write stops the update before anything is touched.
TEST_F(DoUpdateTest, UnreadableRecordTouchesNothing) {
  make_tree(root_dir(), {"a.exe=old", "_/a.exe=new", ".vellicor-update=something else"});
  const auto before = read_tree(root_dir());
  Lines lines;
  const Status status = run(lines);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().display_text(), "Unreadable update record: " + at(".vellicor-update"));
  EXPECT_EQ(read_tree(root_dir()), before);
}

// Another version staged over an update that was cut short while moving in, but one that cannot
// be applied: the record stays, so that a later run still accepts the missing executable and
// finishes the installation once a complete version is staged.
TEST_F(DoUpdateTest, AFailedUpdateOfAnotherStagedVersionKeepsTheEarlierRecord) {
  const std::string record =
      "Vellicor update in progress: moving the new version in\nstaged 1:2 a.exe\n";
  make_tree(root_dir(), {"d/e.dll=new", "_/d/e.dll=newer", ".vellicor-update=" + record});
  const auto before = read_tree(root_dir());
  Lines lines;
  ASSERT_FALSE(run(lines));
  EXPECT_EQ(read_tree(root_dir()), before);
}

// A run at logon acts on the installation's record alone: what it decides, and that it changes
// nothing but a void record over a whole installation (the whole-program tests show the rest).
TEST_F(DoUpdateTest, ARunAtLogonActsOnTheRecordAlone) {
  const auto restage = [this] {  // a new file over _/a.exe, never the same file number
    make_tree(root_dir(), {"_/a.exe.new=newer"});
    fs::rename(root_dir() / "_/a.exe.new", root_dir() / "_/a.exe");
  };
  const std::string record = at(".vellicor-update");
  const std::string earlier = "The update record " + record + " belongs to an earlier update (";
  const std::string staged_exe = join_path(at("_"), "a.exe");
  struct Case {
    const char* name;
    Lines tree;
    UpdatePhase phase;  // the record's, of the entries of `recorded` as they are
    Lines recorded;
    std::function<void()> change;  // after the record was written
    Lines logged;                  // the files that the root's unins000.dat names, if it has one
    std::string outcome;           // "finish", the INFO line of a record set aside, or the error
  };
  const Case cases[] = {
      {"cut short while deleting, the uninstaller's exe left",
       {"_/a.exe=new", "unins000.exe"},
       UpdatePhase::Deleting,
       {"_/a.exe"},
       {},
       {},
       "finish"},
      {"update folder removed, the installation not whole",
       {"d/b=old", "_/a.exe=new"},
       UpdatePhase::Deleting,
       {"_/a.exe"},
       [this] { fs::remove_all(root_dir() / "_"); },
       {"a.exe"},
       "The interrupted update cannot be completed: 1 entry of its new version is missing, the "
       "first " +
           staged_exe},
      {"another version staged, the installation whole",
       {"a.exe=old", "_/a.exe=new"},
       UpdatePhase::Deleting,
       {"_/a.exe"},
       restage,
       {"a.exe"},
       "INFO " + earlier + staged_exe + " is not as it was staged); the installation " +
           "is whole by its uninstall log: the record is set aside"},
      // Its new version is in place: that update is finished, and only that one.
      {"another version staged over a new log not yet rewritten",
       {"a.exe=new", "_/a.exe=new"},
       UpdatePhase::Moving,
       {"a.exe"},
       restage,
       {"_/a.exe"},
       "finish"},
      // Whole means every file that the log names in the root is there, and it names one.
      {"another version staged, one file of the log missing",
       {"a.exe=old", "_/a.exe=new"},
       UpdatePhase::Deleting,
       {"_/a.exe"},
       restage,
       {"a.exe", "b.dll"},
       earlier + staged_exe + " is not as it was staged): a run at logon finishes no " +
           "other update"},
      {"another version staged, the log naming no file in the root",
       {"a.exe=old", "_/a.exe=new"},
       UpdatePhase::Deleting,
       {"_/a.exe"},
       restage,
       {"../a.exe"},
       earlier + staged_exe + " is not as it was staged): a run at logon finishes no " +
           "other update"},
      // Only what is not there is missing: an uninstaller that cannot be looked at is there.
      {"cut short while deleting, the uninstaller a link that cannot be followed",
       {"_/a.exe=new"},
       UpdatePhase::Deleting,
       {"_/a.exe"},
       [this] { fs::create_symlink("unins000.exe", root_dir() / "unins000.exe"); },
       {},
       kWindows ? "" : "finish"},
  };
  for (const auto& c : cases) {
    if (c.outcome.empty()) continue;  // Wine shows no links
    SCOPED_TRACE(c.name);
    fs::remove_all(root_dir());
    make_tree(root_dir(), c.tree);
    const auto installation = testing_support::installation_at(root_dir());
    std::vector<StagedEntry> staged;
    for (const auto& path : c.recorded)
      staged.push_back({*path_file_name(path), entry_identity(at(path)).value(), std::nullopt});
    ASSERT_TRUE(UpdateRecord(c.phase, staged).write(installation));
    if (c.change) c.change();
    std::vector<FileRec> records;
    for (const auto& path : c.logged)
      records.push_back(text_record(FileRecType::DeleteFile, {at(path), "", "", "", ""}));
    if (!records.empty()) {
      ASSERT_TRUE(write_uninstall_log(at("unins000.dat"), header_for(records.size()), records));
    }
    const auto tree = [this] {  // without the record
      auto entries = read_tree(root_dir());
      std::erase_if(entries, [](const auto& e) { return e.starts_with(".vellicor-update"); });
      return entries;
    };
    const auto before = tree();

    auto log = testing_support::make_captured_logger();
    FakeUser user;
    const auto verdict = decide_at_logon({*log.logger, installation, user.hooks()});
    Lines lines = log.release();
    if (!verdict) {
      EXPECT_EQ(verdict.error().display_text(), c.outcome);
    } else if (*verdict == LogonVerdict::Finish) {
      EXPECT_EQ("finish", c.outcome);
    } else {
      EXPECT_EQ(lines.back(), c.outcome);
    }
    EXPECT_EQ(fs::exists(root_dir() / ".vellicor-update"), !c.outcome.starts_with("INFO"));
    EXPECT_TRUE(tree() == before);
  }
}

// A patch that fails never fails the update: two warnings, and the file as it was.
// A patch that fails never fails the update: two warnings, and the file as it was. Where the
// rewrite may succeed later (the file system, not the log's bytes, stood in its way), the record
// stays, saying that the log is still to be rewritten, and the next run rewrites it.
TEST_F(DoUpdateTest, FailedPatchGivesTwoWarningsAndSuccess) {
  struct Case {
    const char* name;
    std::optional<std::string> log_bytes;  // nothing: no unins000.dat at all
    std::string error;                     // the second warning (its start)
    bool rebased;                          // the "Updating uninstall file" line was written
    Lines in_the_way = {};                 // what keeps the rewrite from being written
  };
  std::string valid;
  std::string damaged_crc;
  {
    write_log(at("valid.dat"), at("_"));
    valid = damaged_crc = read_file(root_dir() / "valid.dat");
    damaged_crc[100] ^= 1;
    fs::remove(root_dir() / "valid.dat");
  }
  std::string bad_text_list;
  {
    const std::vector<FileRec> records = {{0, {0xFE, 0x01, 0x00}, FileRecType::DeleteFile}};
    ASSERT_TRUE(write_uninstall_log(at("bad.dat"), header_for(1), records));
    bad_text_list = read_file(root_dir() / "bad.dat");
    fs::remove(root_dir() / "bad.dat");
  }
  const Case cases[] = {
      {"missing log", std::nullopt, "", false},
      {"damaged header", damaged_crc, "Header parse error: CRC32 check failed", false},
      {"short file", std::string(447, '\0'), "Header parse error: Failed to read header to buffer",
       false},
      {"record that cannot be rebased", bad_text_list,
       "String decode error: Failed to parse file rec string size", true},
      {"a folder where the rewrite is written", valid, "", true, {"unins000.dat.tmp/x"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root_dir());
    make_tree(root_dir(), {"a.exe=old", "_/a.exe=new"});
    make_tree(root_dir(), c.in_the_way);
    if (c.log_bytes) std::ofstream(root_dir() / "unins000.dat", std::ios::binary) << *c.log_bytes;

    Lines lines;
    Status status = run(lines);
    ASSERT_TRUE(status) << status.error().display_text();
    const bool later = !c.in_the_way.empty();
    if (later) {
      EXPECT_EQ(lines.back(), "INFO Recorded the update in progress: rewriting the uninstall log");
      lines.pop_back();
    }
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "WARN Failed to patch uninst.dat file");
    if (c.log_bytes) {
      EXPECT_TRUE(lines.back().starts_with("WARN " + c.error)) << lines.back();
      EXPECT_EQ(read_file(root_dir() / "unins000.dat"), *c.log_bytes);
    } else {
      EXPECT_TRUE(lines.back().ends_with(" (os error 2)")) << lines.back();
      EXPECT_FALSE(fs::exists(root_dir() / "unins000.dat"));
    }
    const bool updating_line =
        lines[lines.size() - 3] == "INFO Updating uninstall file " + at("unins000.dat");
    EXPECT_EQ(updating_line, c.rebased);
    EXPECT_EQ(read_file(root_dir() / "a.exe"), "new");
    EXPECT_EQ(fs::exists(root_dir() / ".vellicor-update"), later);
    if (!later) continue;
    // Once what stood in the way is gone, the same command (or the run at logon) rewrites it.
    fs::remove_all(root_dir() / c.in_the_way.front().substr(0, c.in_the_way.front().find('/')));
    auto log = testing_support::make_captured_logger();
    FakeUser user;
    const auto installation = testing_support::installation_at(root_dir());
    EXPECT_EQ(decide_at_logon({*log.logger, installation, user.hooks()}), LogonVerdict::Finish);
    log.release();
    status = run(lines);
    ASSERT_TRUE(status) << status.error().display_text();
    EXPECT_EQ(lines[1], "INFO Resuming an interrupted update at rewriting the uninstall log");
    EXPECT_EQ(lines.back(), "INFO Updating uninstall file " + at("unins000.dat"));
    EXPECT_EQ(decode_text_list(read_uninstall_log(at("unins000.dat")).value().records[2].data),
              (std::vector<std::string>{at("a.exe"), "", "", "", ""}));
    EXPECT_FALSE(fs::exists(root_dir() / ".vellicor-update"));
  }
}

TEST_F(DoUpdateTest, FailedReplacementLeavesTheLogUntouched) {
  make_tree(root_dir(), {"a.exe=old"});  // no update folder
  write_log(at("unins000.dat"), at("_"));
  const std::string before = read_file(root_dir() / "unins000.dat");
  Lines lines;
  const Status status = run(lines);
  ASSERT_FALSE(status);
  EXPECT_EQ(read_file(root_dir() / "unins000.dat"), before);
  EXPECT_EQ(lines.size(), 2u);  // do_update and move_update, nothing of the patch
}

// The installer's own logs: an update staged in C:\Apps\Vellicor\_ whose log is rebased to
// exactly the bytes the installer would have written for C:\Apps\Vellicor. Only the Windows
// build has that path.
TEST(DoUpdateFixtureTest, InstallersLogIsRebasedToTheExpectedBytes) {
  if (!kWindows) GTEST_SKIP() << "the fixture's paths are Windows paths";
  const fs::path data = testing_support::from_utf8(
      testing_support::platform_path(VELLICOR_TEST_DATA "/uninstall-logs"));
  const fs::path root = R"(C:\Apps\Vellicor)";
  fs::remove_all(root);
  make_tree(root, {"Vellicor.exe=old", "resources/app.asar=old", "_/Vellicor.exe=new"});
  fs::copy_file(data / "installed.dat", root / "unins000.dat");
  fs::copy_file(data / "staged.dat", root / "_" / "unins000.dat");
  // The new version as the installer laid it out: every file that its log names.
  const auto staged = read_uninstall_log(testing_support::utf8(data / "staged.dat"));
  ASSERT_TRUE(staged);
  for (const auto& record : staged->records) {
    if (record.typ != FileRecType::DeleteFile) continue;
    const std::string path = decode_text_list(record.data).value().at(0);
    fs::create_directories(testing_support::from_utf8(path).parent_path());
    std::ofstream(testing_support::from_utf8(path)) << "new";
  }

  auto log = testing_support::make_captured_logger();
  FakeUser user;
  const auto installation = resolve_installation(R"(C:\Apps\Vellicor\Vellicor.exe)");
  ASSERT_TRUE(installation) << installation.error().display_text();
  const Status status = do_update(*log.logger, *installation, user.hooks());
  const Lines lines = log.release();
  ASSERT_TRUE(status) << status.error().display_text();
  EXPECT_EQ(lines.back(), R"(INFO Updating uninstall file C:\Apps\Vellicor\unins000.dat)");
  EXPECT_EQ(read_file(root / "unins000.dat"), read_file(data / "staged-rebased.dat"));
  fs::remove_all(root);
}

}  // namespace
}  // namespace vellicor
