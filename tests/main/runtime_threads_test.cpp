// The Windows executable's own stand-ins for the POSIX thread calls of the C++ runtime's
// exception support (src/main/runtime_threads_win32.cpp), linked as the executable links them:
// with no library of POSIX threads, exceptions thrown and caught on several of the platform's
// threads at once each reach their own handler with their own value, the first throw of all
// included (the unwinder's table, set up once). A plain program: the test framework would bring
// the library of POSIX threads with it. Exit code 0 when every check holds.

#include <cstdio>

#include "base/win32.hpp"

namespace {

constexpr int kThreads = 8;
constexpr int kThrows = 2000;

struct Thrown {
  int thread;
  int round;
};

[[gnu::noinline]] void throw_for(int thread, int round) {
  throw Thrown{thread, round};
}

DWORD WINAPI throw_and_catch(void* argument) {
  const int thread = static_cast<int>(reinterpret_cast<intptr_t>(argument));
  int caught = 0;
  for (int round = 0; round < kThrows; ++round) {
    try {
      try {
        throw_for(thread, round);
      } catch (const Thrown& inner) {
        if (inner.thread != thread || inner.round != round) return 1;
        throw;  // the thread's own record of the exception in flight, rethrown
      }
    } catch (const Thrown& outer) {
      if (outer.thread == thread && outer.round == round) ++caught;
    }
  }
  return caught == kThrows ? 0 : 1;
}

}  // namespace

int main() {
  HANDLE threads[kThreads];
  for (int i = 0; i < kThreads; ++i) {
    threads[i] =
        CreateThread(nullptr, 0, throw_and_catch, reinterpret_cast<void*>(intptr_t{i}), 0, nullptr);
    if (threads[i] == nullptr) return 2;
  }
  WaitForMultipleObjects(kThreads, threads, TRUE, INFINITE);
  int failed = 0;
  for (HANDLE thread : threads) {
    DWORD code = 1;
    GetExitCodeThread(thread, &code);
    failed += code != 0;
    CloseHandle(thread);
  }
  std::printf("%d of %d threads caught every exception as thrown\n", kThreads - failed, kThreads);
  return failed == 0 ? 0 : 1;
}
