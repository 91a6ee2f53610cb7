#pragma once
// Threads and the locks between them, over the platform's own primitives (SRW locks, condition
// variables and CreateThread on Windows, pthreads on POSIX).
//
// The program and its tests do not use std::thread, std::mutex and std::condition_variable: the
// C++ runtime of the Windows build (GCC 12, mingw-w64's win32 thread model) has none of them, and
// one code path serves both builds (cmake/mingw-i686.cmake).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

#include "base/error.hpp"

namespace vellicor {

namespace detail {

// Room for the platform's lock or condition variable inside the object that owns it, so that
// making one allocates nothing and cannot fail. The largest, a pthread condition variable,
// takes 48 bytes; each platform file checks that its objects fit.
struct alignas(8) NativeSyncStorage {
  std::byte bytes[48];
};

}  // namespace detail

// A lock that one thread at a time holds; not recursive. Neither copied nor moved, since the
// platform's lock must stay where it was made.
class Mutex {
 public:
  Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  ~Mutex();

  void lock();
  void unlock();

 private:
  friend class ConditionVariable;
  detail::NativeSyncStorage native_;
};

// Holds a mutex from its construction to the end of its scope.
class MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) : mutex_(mutex) { mutex_.lock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;
  ~MutexLock() { mutex_.unlock(); }

 private:
  Mutex& mutex_;
};

// Lets a thread sleep until another wakes it. A wait releases the mutex that the caller holds
// while it sleeps and holds it again before it returns. A waiter may wake without a notify,
// so waits are for a condition under that mutex: the forms with a predicate loop on it.
class ConditionVariable {
 public:
  ConditionVariable();
  ConditionVariable(const ConditionVariable&) = delete;
  ConditionVariable& operator=(const ConditionVariable&) = delete;
  ~ConditionVariable();

  void wait(Mutex& held);
  template <class Predicate>
  void wait(Mutex& held, Predicate done) {
    while (!done())
      wait(held);
  }
  // Sleeps at most about `milliseconds` (on the steady clock); false when that time ran out.
  bool wait_for(Mutex& held, uint32_t milliseconds);

  void notify_one();
  void notify_all();

 private:
  detail::NativeSyncStorage native_;
};

// A thread of the platform's own. A thread that was neither joined nor detached is joined when
// its Thread goes away, so no body outlives the objects that its owner lent it.
class Thread {
 public:
  Thread() = default;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  Thread(Thread&& other) noexcept
      : native_(std::exchange(other.native_, 0)), running_(std::exchange(other.running_, false)) {}
  Thread& operator=(Thread&& other) noexcept {
    if (this != &other) {
      join();
      native_ = std::exchange(other.native_, 0);
      running_ = std::exchange(other.running_, false);
    }
    return *this;
  }
  ~Thread() { join(); }

  // Runs `body` on a new thread. When no thread can be started the body is released unrun,
  // with everything it holds, and the error carries the system's reason.
  [[nodiscard]] static Result<Thread> start(std::move_only_function<void()> body);

  // True until the thread is joined or detached.
  bool joinable() const { return running_; }
  // Waits until the thread has ended; does nothing when there is none to wait for.
  void join();
  // Lets the thread run on its own: nobody waits for it, the end of the process ends it.
  void detach();

 private:
  explicit Thread(uintptr_t native) : native_(native), running_(true) {}

  uintptr_t native_ = 0;  // the thread's HANDLE or pthread_t
  bool running_ = false;
};

// Gives the rest of the calling thread's time slice to another thread that is ready to run.
void yield_thread();

}  // namespace vellicor
