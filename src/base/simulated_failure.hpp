#pragma once
// Failures of the durable calls simulated inside the process, as SQLite's SimulateIOError does:
// every flush, sync, rename and removal that an update's safety rests on first asks whether a
// test wants it to fail, and with which of the system's error codes. The error sweeps of the
// tests (each durable call of an update failing in turn) then run in the test's own process, on
// both platforms, in milliseconds. A program without a hook (every program but the tests) makes
// every call; the question costs one load of a pointer.

#include <functional>

namespace vellicor {

// The durable calls, by what they do: POSIX fsync (Flush) and syncfs (SyncFileSystem),
// rename and renameat2, unlink and unlinkat, rmdir and unlinkat with AT_REMOVEDIR; Windows
// FlushFileBuffers and NtFlushBuffersFileEx (Flush), MoveFileExW and a rename by handle (Rename),
// DeleteFileW and a delete disposition of a file (Unlink), RemoveDirectoryW and a delete
// disposition of a folder (RemoveFolder).
enum class DurableCall { Flush, SyncFileSystem, Rename, Unlink, RemoveFolder };

// What a test answers for each durable call: the platform's error code to fail it with (errno,
// a Win32 error), or 0 to make it.
using FailureHook = std::function<int(DurableCall call)>;

// Installs `hook` until the returned guard goes (tests only; one at a time, set and cleared on
// the thread that runs the update).
class SimulatedFailures {
 public:
  explicit SimulatedFailures(FailureHook hook);
  SimulatedFailures(const SimulatedFailures&) = delete;
  SimulatedFailures& operator=(const SimulatedFailures&) = delete;
  ~SimulatedFailures();

 private:
  FailureHook hook_;
};

// True where a test wants `call` to fail: the calling thread's last error code is then set to
// the test's code, as the real call would set it, and the call is not made.
bool fails_simulated(DurableCall call);

}  // namespace vellicor
