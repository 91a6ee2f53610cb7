#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "gui/gui.hpp"

namespace vellicor {
namespace {

bool thread_alive(uint32_t id) {
  return std::filesystem::exists("/proc/self/task/" + std::to_string(id));
}

bool ends_within_seconds(uint32_t id, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (thread_alive(id)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

TEST(ProgressThreadPosixTest, SendsTheIdOfItsOwnThreadAndEndsWhenAQuitIsPosted) {
  for (const bool silent : {false, true}) {
    const auto id = start_progress_thread(silent);
    ASSERT_TRUE(id) << "silent " << silent;
    EXPECT_TRUE(thread_alive(*id));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));  // a few spinner rounds
    EXPECT_TRUE(thread_alive(*id)) << "ended without a quit";
    post_quit_to_thread(*id);
    EXPECT_TRUE(ends_within_seconds(*id, 10));
  }
}

TEST(ProgressThreadPosixTest, AQuitPostedAtOnceIsNotLost) {
  for (int round = 0; round < 20; ++round) {
    const auto id = start_progress_thread(false);
    ASSERT_TRUE(id);
    post_quit_to_thread(*id);
    EXPECT_TRUE(ends_within_seconds(*id, 10)) << "round " << round;
  }
}

TEST(ProgressThreadPosixTest, AQuitEndsOnlyTheThreadItWasPostedTo) {
  const auto first = start_progress_thread(true);
  const auto second = start_progress_thread(true);
  ASSERT_TRUE(first && second);
  ASSERT_NE(*first, *second);
  post_quit_to_thread(*first);
  EXPECT_TRUE(ends_within_seconds(*first, 10));
  EXPECT_TRUE(thread_alive(*second));
  post_quit_to_thread(*second);
  EXPECT_TRUE(ends_within_seconds(*second, 10));
}

}  // namespace
}  // namespace vellicor
