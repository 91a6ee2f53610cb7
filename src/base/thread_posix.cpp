#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <cerrno>
#include <memory>
#include <new>

#include "base/os_error.hpp"
#include "base/thread.hpp"

namespace vellicor {
namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(detail::NativeSyncStorage) &&
              alignof(pthread_mutex_t) <= alignof(detail::NativeSyncStorage));
static_assert(sizeof(pthread_cond_t) <= sizeof(detail::NativeSyncStorage) &&
              alignof(pthread_cond_t) <= alignof(detail::NativeSyncStorage));
static_assert(sizeof(pthread_t) <= sizeof(uintptr_t));

pthread_mutex_t* native_mutex(detail::NativeSyncStorage& storage) {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(storage.bytes));
}

pthread_cond_t* native_condition(detail::NativeSyncStorage& storage) {
  return std::launder(reinterpret_cast<pthread_cond_t*>(storage.bytes));
}

using Body = std::move_only_function<void()>;

void* thread_main(void* parameter) noexcept {
  const std::unique_ptr<Body> body(static_cast<Body*>(parameter));
  (*body)();
  return nullptr;
}

timespec steady_deadline(uint32_t milliseconds) {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1'000'000L;
  if (deadline.tv_nsec >= 1'000'000'000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1'000'000'000L;
  }
  return deadline;
}

}  // namespace

// The static initialisers: unlike pthread_mutex_init and pthread_cond_init they cannot fail.
Mutex::Mutex() {
  new (native_.bytes) pthread_mutex_t PTHREAD_MUTEX_INITIALIZER;
}

Mutex::~Mutex() {
  pthread_mutex_destroy(native_mutex(native_));
}

void Mutex::lock() {
  pthread_mutex_lock(native_mutex(native_));
}

void Mutex::unlock() {
  pthread_mutex_unlock(native_mutex(native_));
}

ConditionVariable::ConditionVariable() {
  new (native_.bytes) pthread_cond_t PTHREAD_COND_INITIALIZER;
}

ConditionVariable::~ConditionVariable() {
  pthread_cond_destroy(native_condition(native_));
}

void ConditionVariable::wait(Mutex& held) {
  pthread_cond_wait(native_condition(native_), native_mutex(held.native_));
}

bool ConditionVariable::wait_for(Mutex& held, uint32_t milliseconds) {
  // Measured on the monotonic clock, so that setting the wall clock neither cuts the wait short
  // nor stretches it.
  const timespec deadline = steady_deadline(milliseconds);
  return pthread_cond_clockwait(native_condition(native_), native_mutex(held.native_),
                                CLOCK_MONOTONIC, &deadline) != ETIMEDOUT;
}

void ConditionVariable::notify_one() {
  pthread_cond_signal(native_condition(native_));
}

void ConditionVariable::notify_all() {
  pthread_cond_broadcast(native_condition(native_));
}

Result<Thread> Thread::start(std::move_only_function<void()> body) {
  auto owned = std::make_unique<Body>(std::move(body));
  pthread_t thread{};
  if (const int code = pthread_create(&thread, nullptr, thread_main, owned.get()); code != 0) {
    return fail(os_io_error(code));
  }
  owned.release();  // the thread owns its body now
  return Thread(static_cast<uintptr_t>(thread));
}

void Thread::join() {
  if (!running_) return;
  pthread_join(static_cast<pthread_t>(native_), nullptr);
  running_ = false;
}

void Thread::detach() {
  if (!running_) return;
  pthread_detach(static_cast<pthread_t>(native_));
  running_ = false;
}

void yield_thread() {
  sched_yield();
}

}  // namespace vellicor
