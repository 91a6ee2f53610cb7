// GoogleTest's own place for a platform's threading pieces ("Customization Points",
// gtest/internal/custom/README.md of GoogleTest), found before GoogleTest's empty one by the
// Windows build alone (tests/CMakeLists.txt).
//
// On Windows GoogleTest 1.12 counts itself thread-safe and makes its locks over the system's
// critical sections (gtest-port.cc), except Notification, which it makes from std::mutex and
// std::condition_variable unless GTEST_HAS_NOTIFICATION_ says that the platform brings one
// (gtest-port.h). GCC 12's runtime of the win32 thread model has neither (cmake/mingw-i686.cmake),
// so GoogleTest did not compile there (google/googletest issue #4031). Only GoogleTest's own
// tests start threads that wait for a Notification (ThreadWithParam); this one polls a flag.

#ifndef GOOGLETEST_INCLUDE_GTEST_INTERNAL_CUSTOM_GTEST_PORT_H_
#define GOOGLETEST_INCLUDE_GTEST_INTERNAL_CUSTOM_GTEST_PORT_H_

#include <atomic>
#include <chrono>
#include <thread>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing::internal {

// Lets the threads that wait for it go once the controlling thread notifies.
class Notification {
 public:
  Notification() = default;
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { notified_.store(true, std::memory_order_release); }
  void WaitForNotification() {
    while (!notified_.load(std::memory_order_acquire))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

 private:
  std::atomic<bool> notified_{false};
};

}  // namespace testing::internal

#endif  // GOOGLETEST_INCLUDE_GTEST_INTERNAL_CUSTOM_GTEST_PORT_H_
