// Linked into the Windows executable only, not into the library that the tests link.
//
// The program makes its threads through the platform (base/thread.hpp), but the C++ runtime of
// the posix thread model reaches for POSIX threads in three places of its exception support: the
// unwinder sets a table up once (pthread_once), the pool of memory for exceptions thrown when
// memory has run out takes a lock (pthread_mutex_lock and _unlock, on a lock made statically),
// and each thread's record of the exceptions in flight is a thread-local value (the keys). The
// library that implements POSIX threads would bring its thread, condition, read-write and spin
// locks with those few calls: 32 KB, a twelfth of the executable. These definitions take their
// place with the platform's own primitives, for those uses alone, so that none of that library
// is linked; the link fails if anything asks it for more.
//
// The types are the library's (pthread.h of mingw-w64): pthread_once_t a long that starts at 0,
// pthread_mutex_t a pointer-sized integer that starts at -1 (PTHREAD_MUTEX_INITIALIZER), and
// pthread_key_t an unsigned index.

#include <cstdint>

#include "base/win32.hpp"

namespace {

// A lock word: -1 or 0 free (as made, and once unlocked), 1 held. The runtime holds it for a
// few instructions at a time, and only while it hands out memory for an exception.
bool try_lock(volatile LONG* word) {
  return InterlockedCompareExchange(word, 1, -1) == -1 ||
         InterlockedCompareExchange(word, 1, 0) == 0;
}

}  // namespace

extern "C" {

int pthread_once(volatile LONG* once, void (*init)()) {
  // 0: not yet, 1: running, 2: done; those that come while it runs wait for it.
  if (*once == 2) return 0;
  if (InterlockedCompareExchange(once, 1, 0) == 0) {
    init();
    InterlockedExchange(once, 2);
    return 0;
  }
  while (*once != 2)
    SwitchToThread();
  return 0;
}

int pthread_mutex_init(volatile intptr_t* mutex, const void*) {
  *mutex = 0;
  return 0;
}

int pthread_mutex_destroy(volatile intptr_t*) {
  return 0;
}

int pthread_mutex_lock(volatile intptr_t* mutex) {
  auto* word = reinterpret_cast<volatile LONG*>(mutex);
  while (!try_lock(word))
    SwitchToThread();
  return 0;
}

int pthread_mutex_unlock(volatile intptr_t* mutex) {
  InterlockedExchange(reinterpret_cast<volatile LONG*>(mutex), 0);
  return 0;
}

// The runtime's per-thread values are small records of the exceptions a thread has in flight.
// A key's destructor would free a thread's record when the thread ends; here it stays until the
// process ends, a few dozen bytes for each of the program's three threads at most.
int pthread_key_create(unsigned* key, void (*)(void*)) {
  const DWORD index = TlsAlloc();
  if (index == TLS_OUT_OF_INDEXES) return 11;  // EAGAIN
  *key = index;
  return 0;
}

int pthread_key_delete(unsigned key) {
  return TlsFree(key) ? 0 : 22;  // EINVAL
}

void* pthread_getspecific(unsigned key) {
  return TlsGetValue(key);
}

int pthread_setspecific(unsigned key, const void* value) {
  return TlsSetValue(key, const_cast<void*>(value)) ? 0 : 22;  // EINVAL
}

}  // extern "C"
