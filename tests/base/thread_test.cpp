#include "base/thread.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/clock.hpp"
#include "base/one_value_channel.hpp"
#include "base/path.hpp"
#include "base/sleep.hpp"

namespace vellicor {
namespace {

// A body that lets the test thread run ahead of it before it leaves its mark.
std::move_only_function<void()> late_mark(std::atomic<int>& mark, int value) {
  return [&mark, value] {
    sleep_milliseconds(20);
    mark = value;
  };
}

TEST(ThreadTest, JoinWaitsForTheBodyAndEveryEndOfAThreadWaitsToo) {
  std::atomic<int> mark{0};
  auto thread = Thread::start(late_mark(mark, 1));
  ASSERT_TRUE(thread.has_value()) << thread.error().display_text();
  EXPECT_TRUE(thread->joinable());
  thread->join();
  EXPECT_EQ(mark.load(), 1);
  EXPECT_FALSE(thread->joinable());
  thread->join();  // nothing left to wait for

  {
    auto destroyed = Thread::start(late_mark(mark, 2));
    ASSERT_TRUE(destroyed.has_value());
  }
  EXPECT_EQ(mark.load(), 2) << "destroying a thread joins it";

  auto replaced = Thread::start(late_mark(mark, 3));
  ASSERT_TRUE(replaced.has_value());
  *replaced = Thread();
  EXPECT_EQ(mark.load(), 3) << "assigning over a thread joins the one it held";
}

TEST(ThreadTest, ADetachedThreadRunsOnAndReleasesItsBodyWhenItEnds) {
  auto [sender, receiver] = make_one_value_channel<uint32_t>();
  auto [done_sender, done_receiver] = make_one_value_channel<uint32_t>();
  auto thread = Thread::start([sender = std::move(sender)]() mutable { sender.send(7); });
  ASSERT_TRUE(thread.has_value());
  thread->detach();
  EXPECT_FALSE(thread->joinable());
  EXPECT_EQ(receiver.receive(), 7u);

  // A body that ends without sending still closes the channel it held.
  auto silent = Thread::start([held = std::move(done_sender)] {});
  ASSERT_TRUE(silent.has_value());
  silent->detach();
  EXPECT_EQ(done_receiver.receive(), std::nullopt);
}

TEST(MutexTest, KeepsEveryIncrementOfSeveralThreads) {
  constexpr int kThreads = 4;
  constexpr int kIncrements = 20000;
  Mutex mutex;
  int counter = 0;  // deliberately not atomic: only the mutex keeps the increments whole
  std::vector<Thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    auto thread = Thread::start([&] {
      for (int n = 0; n < kIncrements; ++n) {
        MutexLock lock(mutex);
        ++counter;
      }
    });
    ASSERT_TRUE(thread.has_value());
    threads.push_back(std::move(*thread));
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(counter, kThreads * kIncrements);
}

TEST(ConditionVariableTest, NotifyAllWakesEveryWaiterOnceItsConditionHolds) {
  Mutex mutex;
  ConditionVariable changed;
  bool ready = false;
  int woken = 0;
  std::vector<Thread> waiters;
  for (int i = 0; i < 3; ++i) {
    auto thread = Thread::start([&] {
      MutexLock lock(mutex);
      changed.wait(mutex, [&] { return ready; });
      ++woken;
    });
    ASSERT_TRUE(thread.has_value());
    waiters.push_back(std::move(*thread));
  }
  sleep_milliseconds(20);
  {
    MutexLock lock(mutex);
    ready = true;
  }
  changed.notify_all();
  for (auto& thread : waiters)
    thread.join();
  EXPECT_EQ(woken, 3);
}

TEST(ConditionVariableTest, ATimedWaitEndsByANotifyOrWhenItsTimeRunsOut) {
  Mutex mutex;
  ConditionVariable changed;
  MutexLock lock(mutex);

  const uint64_t before = steady_microseconds();
  EXPECT_FALSE(changed.wait_for(mutex, 50));
  // A little slack for a system timer that rounds to its own tick.
  EXPECT_GE(steady_microseconds() - before, 40'000u);

  // The notifier can take the mutex only while the waiter sleeps in its wait, so the notify
  // cannot come before the wait.
  bool notified = false;
  auto notifier = Thread::start([&] {
    MutexLock notifier_lock(mutex);
    notified = true;
    changed.notify_one();
  });
  ASSERT_TRUE(notifier.has_value());
  bool woken = false;
  while (!notified)
    woken = changed.wait_for(mutex, 60'000);
  EXPECT_TRUE(woken) << "the wait ended by its time, not by the notify";
  notifier->join();  // it let the mutex go before the wait could end
}

// Windows wakes a sleeping thread at a tick of its clock, about every 15.6 ms by default: a
// sleep of more than one tick may end up to a tick early.
TEST(SteadyClockTest, MovesForwardAtLeastAsFarAsTheThreadSlept) {
  const uint64_t tick_us = native_path_style() == PathStyle::Windows ? 15'625 : 0;
  const struct {
    void (*sleep)(uint32_t);
    uint32_t amount;
    uint64_t at_least_us;
  } cases[] = {
      {sleep_milliseconds, 40, 39'000},
      {sleep_microseconds, 40'000, 39'000},
  };
  for (const auto& c : cases) {
    const uint64_t before = steady_microseconds();
    c.sleep(c.amount);
    const uint64_t after = steady_microseconds();
    EXPECT_GE(after, before);
    EXPECT_GE(after - before, c.at_least_us - tick_us) << c.amount;
  }
  // Less than a millisecond is a sleep all the same, never Sleep(0).
  EXPECT_EQ(whole_milliseconds(0), 0u);
  EXPECT_EQ(whole_milliseconds(200), 1u);
  EXPECT_EQ(whole_milliseconds(1000), 1u);
  EXPECT_EQ(whole_milliseconds(1001), 2u);
}

}  // namespace
}  // namespace vellicor
