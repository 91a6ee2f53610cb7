#include "main/update_driver.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "base/path.hpp"
#include "base/sleep.hpp"
#include "support/child_process.hpp"
#include "support/fake_user.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::FakeUser;
using Lines = std::vector<std::string>;

// Every test has a process name of its own, and every run of the suite a mark of its own in it,
// so that tests running side by side, in one run or in two, never see each other's processes.
// At most 15 characters: what POSIX lists for a process that has ended.
std::string app_name(const std::string& base) {
  static const std::string run = [] {
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    char mark[8];
    std::snprintf(mark, sizeof mark, "%05llx",
                  static_cast<unsigned long long>((now >> 10) & 0xFFFFF));
    return std::string(mark);
  }();
  const std::string name = base.substr(0, 10) + run;
  return native_path_style() == PathStyle::Windows ? name + ".exe" : name;
}

// An installation folder with a copy of the sleeper under the application's name.
struct Installation {
  Installation(const testing_support::TempDir& dir, const std::string& folder,
               const std::string& name) {
    fs::create_directories(dir.path() / folder);
    fs::copy_file(testing_support::from_utf8(testing_support::platform_path(VELLICOR_SLEEPER)),
                  dir.path() / folder / name);
    exe = testing_support::utf8(dir.path() / folder / name);
    marker = testing_support::utf8(dir.path() / (folder + "-running"));
  }
  // Starts the copy and waits until it runs its own code.
  std::unique_ptr<ChildProcess> start(int seconds = 60) const {
    auto child = ChildProcess::start(exe, {std::to_string(seconds), "-", marker});
    wait_for_marker();
    return child;
  }
  void wait_for_marker() const {
    for (int i = 0; i < 2000 && !fs::exists(testing_support::from_utf8(marker)); ++i) {
      sleep_milliseconds(10);
    }
  }
  std::string exe;
  std::string marker;
};

Lines count_of(const Lines& lines, const std::string& prefix) {
  Lines out;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(out),
               [&](const std::string& line) { return line.starts_with(prefix); });
  return out;
}

TEST(WaitForProcessExitTest, NotRunningIsOneListing) {
  const std::string kName = app_name("VlcNotRunning");
  auto log = testing_support::make_captured_logger();
  FakeUser user;
  ASSERT_TRUE(wait_for_process_exit(*log.logger, kName, user.hooks()));
  EXPECT_EQ(log.release(),
            (Lines{"INFO Checking for running " + kName + " processes... (attempt 1)",
                   "INFO " + kName + " is not running"}));
  EXPECT_TRUE(user.waits.empty());
}

TEST(WaitForProcessExitTest, WaitsUntilTheApplicationHasExited) {
  const std::string kName = app_name("VlcWaitExit");
  testing_support::TempDir dir;
  const Installation app(dir, "app", kName);
  auto child = app.start();
  auto log = testing_support::make_captured_logger();
  RetryHooks hooks;
  int sleeps = 0;
  hooks.sleep = [&](uint32_t milliseconds) {
    EXPECT_EQ(milliseconds, 500u);
    if (++sleeps == 3) {
      child.reset();  // the application exits during the third pause
    }
  };
  ASSERT_TRUE(wait_for_process_exit(*log.logger, kName, hooks));
  Lines expected;
  for (int n = 1; n <= 3; ++n) {
    expected.push_back("INFO Checking for running " + kName + " processes... (attempt " +
                       std::to_string(n) + ")");
    expected.push_back("INFO " + kName + " is running, wait a bit");
  }
  expected.push_back("INFO Checking for running " + kName + " processes... (attempt 4)");
  expected.push_back("INFO " + kName + " is not running");
  EXPECT_EQ(log.release(), expected);
}

TEST(WaitForProcessExitTest, GivesUpAfterSixtyListings) {
  const std::string kName = app_name("VlcGiveUp");
  testing_support::TempDir dir;
  const Installation app(dir, "app", kName);
  auto child = app.start();
  auto log = testing_support::make_captured_logger();
  FakeUser user;
  ASSERT_TRUE(wait_for_process_exit(*log.logger, kName, user.hooks()));
  const Lines lines = log.release();
  EXPECT_EQ(count_of(lines, "INFO Checking for running").size(), 60u);
  EXPECT_EQ(count_of(lines, "INFO " + kName + " is running, wait a bit").size(), 59u);
  EXPECT_EQ(lines.back(), "INFO Gave up waiting for " + kName + " to exit");
  EXPECT_EQ(user.waits, std::vector<uint32_t>(59, 500));
}

TEST(KillWithRetryTest, KillsTheApplicationAndLeavesTheSameNameFromElsewhere) {
  const std::string kName = app_name("VlcKill");
  testing_support::TempDir dir;
  const Installation app(dir, "app", kName), other(dir, "other", kName);
  auto target = app.start();
  auto bystander = other.start();
  auto log = testing_support::make_captured_logger();
  FakeUser user;
  const Status status = kill_with_retry(*log.logger, kName, app.exe, user.hooks());
  ASSERT_TRUE(status) << status.error().display_text();
  EXPECT_TRUE(target->wait_for_exit(10s));
  EXPECT_FALSE(bystander->wait_for_exit(300ms));
  const Lines lines = log.release();
  EXPECT_EQ(lines.front(),
            "INFO Checking for possible conflicting running processes... (attempt 1)");
  EXPECT_EQ(count_of(lines, "INFO Kill process if found: ").size(), 2u);
  EXPECT_EQ(count_of(lines,
                     "INFO Successfully killed " + kName + ", pid " + std::to_string(target->pid()))
                .size(),
            1u);
  EXPECT_TRUE(user.questions.empty());
}

TEST(KillWithRetryTest, ProcessThatCannotBeKilledBringsUpTheBoxAfterElevenAttempts) {
  const std::string kName = app_name("VlcUnkillable");
  testing_support::TempDir dir;
  const Installation app(dir, "app", kName);
  auto keeper = testing_support::start_unkillable(app.exe, 30, app.marker);
  ASSERT_TRUE(keeper);
  app.wait_for_marker();

  auto log = testing_support::make_captured_logger();
  FakeUser user;
  user.answers = {MessageBoxAnswer::Retry, MessageBoxAnswer::Cancel};
  const Status status = kill_with_retry(*log.logger, kName, app.exe, user.hooks());
  ASSERT_FALSE(status);
  const std::string error = status.error().display_text();
  EXPECT_TRUE(error.starts_with("Failed to open process: ")) << error;

  const Lines lines = log.release();
  // Two series of eleven attempts, one warning per attempt for the one matching process.
  EXPECT_EQ(count_of(lines, "INFO Checking for possible conflicting running processes...").size(),
            22u);
  EXPECT_EQ(count_of(lines,
                     "INFO Checking for possible conflicting running processes... "
                     "(attempt 11)")
                .size(),
            2u);
  EXPECT_EQ(count_of(lines, "WARN Kill error Failed to open process: ").size(), 22u);
  auto waits = testing_support::series_waits(11);
  waits.insert(waits.end(), waits.begin(), waits.end());
  EXPECT_EQ(user.waits, waits);
  ASSERT_EQ(user.questions.size(), 2u);
  EXPECT_EQ(user.questions[0],
            "There was an error while attempting to kill any running Vellicor.exe processes:\n\n" +
                error + "\n\nPlease verify there are no Vellicor processes still executing.");
}

}  // namespace
}  // namespace vellicor
