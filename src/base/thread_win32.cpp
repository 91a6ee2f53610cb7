#include <memory>
#include <new>

#include "base/os_error.hpp"
#include "base/thread.hpp"
#include "base/win32.hpp"

namespace vellicor {
namespace {

static_assert(sizeof(SRWLOCK) <= sizeof(detail::NativeSyncStorage));
static_assert(sizeof(CONDITION_VARIABLE) <= sizeof(detail::NativeSyncStorage));

SRWLOCK* srw_lock(detail::NativeSyncStorage& storage) {
  return std::launder(reinterpret_cast<SRWLOCK*>(storage.bytes));
}

CONDITION_VARIABLE* condition(detail::NativeSyncStorage& storage) {
  return std::launder(reinterpret_cast<CONDITION_VARIABLE*>(storage.bytes));
}

using Body = std::move_only_function<void()>;

DWORD WINAPI thread_main(void* parameter) noexcept {
  const std::unique_ptr<Body> body(static_cast<Body*>(parameter));
  (*body)();
  return 0;
}

HANDLE thread_handle(uintptr_t native) {
  return reinterpret_cast<HANDLE>(native);
}

}  // namespace

// Neither an SRW lock nor a condition variable holds a resource: they need no destruction.
Mutex::Mutex() {
  new (native_.bytes) SRWLOCK(SRWLOCK_INIT);
}

Mutex::~Mutex() = default;

void Mutex::lock() {
  AcquireSRWLockExclusive(srw_lock(native_));
}

void Mutex::unlock() {
  ReleaseSRWLockExclusive(srw_lock(native_));
}

ConditionVariable::ConditionVariable() {
  new (native_.bytes) CONDITION_VARIABLE(CONDITION_VARIABLE_INIT);
}

ConditionVariable::~ConditionVariable() = default;

void ConditionVariable::wait(Mutex& held) {
  SleepConditionVariableSRW(condition(native_), srw_lock(held.native_), INFINITE, 0);
}

bool ConditionVariable::wait_for(Mutex& held, uint32_t milliseconds) {
  // INFINITE is a count of milliseconds too; a timed wait stays timed.
  const DWORD timeout = milliseconds == INFINITE ? INFINITE - 1 : milliseconds;
  // The only failure is the time running out (ERROR_TIMEOUT); the lock is held again either way.
  return SleepConditionVariableSRW(condition(native_), srw_lock(held.native_), timeout, 0) != 0;
}

void ConditionVariable::notify_one() {
  WakeConditionVariable(condition(native_));
}

void ConditionVariable::notify_all() {
  WakeAllConditionVariable(condition(native_));
}

Result<Thread> Thread::start(std::move_only_function<void()> body) {
  auto owned = std::make_unique<Body>(std::move(body));
  const HANDLE handle = CreateThread(nullptr, 0, thread_main, owned.get(), 0, nullptr);
  if (handle == nullptr) return fail(last_os_io_error());
  owned.release();  // the thread owns its body now
  return Thread(reinterpret_cast<uintptr_t>(handle));
}

void Thread::join() {
  if (!running_) return;
  WaitForSingleObject(thread_handle(native_), INFINITE);
  CloseHandle(thread_handle(native_));
  running_ = false;
}

void Thread::detach() {
  if (!running_) return;
  CloseHandle(thread_handle(native_));  // the thread runs on without a handle to it
  running_ = false;
}

void yield_thread() {
  // Sleep(0) gives the time slice to any ready thread of the same priority, on any processor
  // (SwitchToThread only to those of the calling thread's processor).
  Sleep(0);
}

}  // namespace vellicor
