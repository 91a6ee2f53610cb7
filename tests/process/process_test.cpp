#include "process/process.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "base/path.hpp"
#include "base/sleep.hpp"
#include "support/child_process.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"

namespace vellicor {
namespace {

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::platform_path;
using testing_support::TempDir;

const std::string kAppName = native_path_style() == PathStyle::Windows ? "app.exe" : "app";

// A copy of the sleeper program in a folder of its own, so that two copies share a file name
// but not a path.
class Installation {
 public:
  explicit Installation(const TempDir& root, const std::string& folder,
                        const std::string& program = VELLICOR_SLEEPER) {
    const auto dir = root.path() / folder;
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(testing_support::from_utf8(platform_path(program)), dir / kAppName);
    exe_ = platform_path(testing_support::utf8(dir / kAppName));
  }
  const std::string& exe() const { return exe_; }

 private:
  std::string exe_;
};

// Starts a copy and waits until it runs its own code: a process that has only just been
// created may not have its image loaded yet.
std::unique_ptr<ChildProcess> start_running(const TempDir& root, const std::string& exe) {
  static int started = 0;
  const std::string marker = root.at("running-" + std::to_string(started++));
  auto child = ChildProcess::start(exe, {"60", "-", marker});
  for (int i = 0; child && i < 1000 && !std::filesystem::exists(marker); ++i) {
    sleep_milliseconds(10);
  }
  return child;
}

std::vector<ProcessEntry> entries_named(const std::string& name) {
  auto listing = list_processes();
  EXPECT_TRUE(listing) << listing.error().display_text();
  std::vector<ProcessEntry> found;
  if (listing) {
    std::copy_if(listing->begin(), listing->end(), std::back_inserter(found),
                 [&](const ProcessEntry& e) { return e.name == name; });
  }
  return found;
}

std::optional<ProcessEntry> entry_of(const ChildProcess& child) {
  for (const auto& entry : entries_named(kAppName)) {
    if (entry.pid == child.pid()) return entry;
  }
  return std::nullopt;
}

std::vector<std::string> kill_lines(const std::string& pid, bool killed) {
  std::vector<std::string> lines{"INFO Kill process if found: " + pid + ", " + kAppName};
  if (killed) {
    lines.push_back("INFO Found " + kAppName + " running, pid " + pid + ", attempting to kill...");
    lines.push_back("INFO Successfully killed " + kAppName + ", pid " + pid);
  }
  return lines;
}

TEST(ProcessTest, ListingContainsThisProcess) {
  const auto own_name = path_file_name(testing_support::own_executable_path());
  ASSERT_TRUE(own_name);
  const auto own = entries_named(*own_name);
  const uint32_t own_pid = testing_support::current_process_id();
  EXPECT_TRUE(std::any_of(own.begin(), own.end(), [&](auto& e) { return e.pid == own_pid; }));
}

// The programs to kill: on Windows a 64-bit one too, which this 32-bit program sees through
// WoW64 as it does on 64-bit Windows.
std::vector<std::string> sleepers() {
#ifdef VELLICOR_SLEEPER64
  return {VELLICOR_SLEEPER, VELLICOR_SLEEPER64};
#else
  return {VELLICOR_SLEEPER};
#endif
}

TEST(ProcessTest, KillsOnlyTheProcessWhoseImageIsTheExpectedPath) {
  for (const auto& sleeper : sleepers()) {
    SCOPED_TRACE(sleeper);
    TempDir root;
    const Installation expected(root, "expected", sleeper), other(root, "other", sleeper);
    auto target = start_running(root, expected.exe());
    auto bystander = start_running(root, other.exe());
    ASSERT_TRUE(target && bystander);
    auto log = testing_support::make_captured_logger();

    std::map<uint32_t, Status> results;
    for (const auto& entry : entries_named(kAppName)) {
      if (entry.pid == target->pid() || entry.pid == bystander->pid()) {
        results.emplace(entry.pid, kill_process_if_found(*log.logger, entry, expected.exe()));
      }
    }
    ASSERT_EQ(results.size(), 2u);
    for (const auto& [pid, status] : results)
      EXPECT_TRUE(status) << status.error().display_text();

    EXPECT_TRUE(target->wait_for_exit(10s));
    EXPECT_FALSE(bystander->wait_for_exit(300ms));

    const auto lines = log.release();
    for (const auto& [child, killed] : {std::pair{target.get(), true}, {bystander.get(), false}}) {
      const auto pid = std::to_string(child->pid());
      for (const auto& line : kill_lines(pid, killed)) {
        EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << line;
      }
    }
    EXPECT_EQ(lines.size(), 4u);
  }
}

// Spellings of the expected path that name the same file: as given, as resolved, or by the
// file's identity. Letter case counts where the file system's names do (POSIX).
TEST(ProcessTest, ExpectedPathNamesTheSameFileHoweverSpelled) {
  TempDir root;
  const Installation installation(root, "Folder");
  const std::string exe = installation.exe();
  const bool windows = native_path_style() == PathStyle::Windows;
  const char sep = windows ? '\\' : '/';
  const auto dir = *parent_path(exe);

  struct Case {
    std::string name;
    std::string expected;
    bool killed;
    std::string started = {};  // the spelling the process is started with, if not `exe`
  };
  std::vector<Case> cases = {
      {"doubled separators", dir + sep + sep + kAppName, true},
      {"dot components", dir + sep + "." + sep + kAppName, true},
      {"trailing separator", exe + sep, true},
      {"folder name in another case",
       platform_path(testing_support::utf8(root.path() / "FOLDER" / kAppName)), windows},
      {"\"..\" through another folder", dir + sep + ".." + sep + "Folder" + sep + kAppName, true},
      {"a hard link in another folder",
       platform_path(testing_support::utf8(root.path() / "linked" / kAppName)), true},
      {"a copy in another folder",
       platform_path(testing_support::utf8(root.path() / "copied" / kAppName)), false},
  };
  for (const char* other : {"linked", "copied"})
    std::filesystem::create_directories(root.path() / other);
  std::filesystem::create_hard_link(root.path() / "Folder" / kAppName,
                                    root.path() / "linked" / kAppName);
  std::filesystem::copy_file(root.path() / "Folder" / kAppName, root.path() / "copied" / kAppName);
  if (windows) {
    std::string slashes = exe;
    std::replace(slashes.begin(), slashes.end(), '\\', '/');
    std::string lower_drive = exe;
    lower_drive[0] = static_cast<char>(std::tolower(lower_drive[0]));
    cases.push_back({"forward slashes", slashes, true});
    cases.push_back({"lower-case drive letter", lower_drive, true});
    // The image path is listed as the process was started.
    std::string lower = exe;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(std::tolower(c)); });
    cases.push_back({"started with the path in lower case", exe, true, lower});
  }

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + ": " + c.expected);
    auto child = start_running(root, c.started.empty() ? exe : c.started);
    ASSERT_TRUE(child);
    const auto entry = entry_of(*child);
    ASSERT_TRUE(entry);
    auto log = testing_support::make_captured_logger();
    const Status status = kill_process_if_found(*log.logger, *entry, c.expected);
    EXPECT_TRUE(status) << status.error().display_text();
    EXPECT_EQ(child->wait_for_exit(c.killed ? 10s : 300ms), c.killed);
    EXPECT_EQ(log.release(), kill_lines(std::to_string(entry->pid), c.killed));
  }
}

TEST(ProcessTest, ProcessThatCannotBeOpenedGivesTheSystemText) {
  TempDir root;
  const Installation installation(root, "gone");
  // A pid that no process has: as if the process ended between the listing and the kill.
  const ProcessEntry ended{kAppName, 0x7FFFFFFC};

  // Counted around the logger's whole life: its worker opens the time zone file while it
  // formats its first line, which a count taken meanwhile would see.
  const size_t handles_before = testing_support::open_handle_count();
  auto log = testing_support::make_captured_logger();
  const Status status = kill_process_if_found(*log.logger, ended, installation.exe());
  const auto lines = log.release();
  EXPECT_EQ(testing_support::open_handle_count(), handles_before);
  ASSERT_FALSE(status);
  const std::string text = status.error().display_text();
  const std::string prefix = "Failed to open process: ";
  ASSERT_TRUE(text.starts_with(prefix)) << text;
  EXPECT_GT(text.size(), prefix.size());
  if (native_path_style() == PathStyle::Windows) {
    EXPECT_TRUE(text.ends_with("\r\n")) << "system texts keep their line break";
  } else {
    EXPECT_EQ(text, prefix + "No such process");
  }
  EXPECT_EQ(lines, kill_lines(std::to_string(ended.pid), false));
}

TEST(ProcessTest, ListingAndKillingLeakNoHandles) {
  TempDir root;
  const Installation installation(root, "loop");
  auto log = testing_support::make_captured_logger();
  auto round = [&] {
    auto child = start_running(root, installation.exe());
    ASSERT_TRUE(child);
    const auto entry = entry_of(*child);
    ASSERT_TRUE(entry);
    EXPECT_TRUE(kill_process_if_found(*log.logger, *entry, installation.exe() + "-not"));
    EXPECT_TRUE(kill_process_if_found(*log.logger, *entry, installation.exe()));
    EXPECT_TRUE(child->wait_for_exit(10s));
  };
  round();  // warm up: first use of lazily loaded system libraries
  const size_t before = testing_support::open_handle_count();
  for (int i = 0; i < 20; ++i)
    round();
  EXPECT_EQ(testing_support::open_handle_count(), before);
}

}  // namespace
}  // namespace vellicor
