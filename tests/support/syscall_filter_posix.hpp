#pragma once
// System calls of one thread answered as a test needs (seccomp(2)): a failure that the system
// would give only on some file system, or a pause in which the test changes the file system
// before the call goes on, so that a window between two calls is entered every time. A filter
// belongs to the thread that installs it and goes with it: each runs on a thread of its own,
// which ends with the work, and the test process is left as it was.

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <optional>
#include <thread>
#include <vector>

namespace vellicor::testing_support {

// Installs on the calling thread a filter that answers each of `calls` with `action` and lets
// every other call through; gives seccomp's result (a listener's descriptor where `flags` asks
// for one), or -1.
inline long filter_calls(const std::vector<long>& calls, uint32_t action, unsigned flags) {
  // The call's number, then one test for each call: a match jumps over the tests left and the
  // "allow" after them to the action.
  std::vector<sock_filter> program = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
  for (size_t i = 0; i < calls.size(); ++i) {
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(calls[i]),
                               static_cast<uint8_t>(calls.size() - i), 0));
  }
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  program.push_back(BPF_STMT(BPF_RET | BPF_K, action));
  const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
  // Without it only a process with CAP_SYS_ADMIN may install a filter (seccomp(2)); it holds
  // for this thread alone, which ends with the work.
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -1;
  return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, flags, &filter);
}

// What `work` gives when each of `calls` that its thread makes fails with `error`; nothing where
// no filter can be installed here.
template <class Work>
auto with_calls_failing(const std::vector<long>& calls, int error, Work work)
    -> std::optional<decltype(work())> {
  std::optional<decltype(work())> result;
  std::thread thread([&] {
    if (filter_calls(calls, SECCOMP_RET_ERRNO | (static_cast<uint32_t>(error) & SECCOMP_RET_DATA),
                     0) == 0) {
      result.emplace(work());
    }
  });
  thread.join();
  return result;
}

// What `work` gives when each of `calls` that its thread makes waits, before it is made, until
// `seen` (on the calling thread) has had its arguments; then the call goes on as it was made
// (SECCOMP_USER_NOTIF_FLAG_CONTINUE, seccomp_unotify(2)). The arguments are the thread's own:
// a path argument can be read as it is while the call waits. `seen` should make system calls
// alone (the paused thread may hold a lock of the runtime). Nothing where no filter can be
// installed here.
template <class Work>
auto with_calls_paused(const std::vector<long>& calls,
                       const std::function<void(const seccomp_data&)>& seen, Work work)
    -> std::optional<decltype(work())> {
  std::optional<decltype(work())> result;
  std::promise<int> listener_promise;
  std::atomic<bool> done{false};
  std::thread thread([&] {
    const long listener =
        filter_calls(calls, SECCOMP_RET_USER_NOTIF, SECCOMP_FILTER_FLAG_NEW_LISTENER);
    listener_promise.set_value(static_cast<int>(listener));
    if (listener >= 0) result.emplace(work());
    done = true;
  });
  const int listener = listener_promise.get_future().get();
  if (listener >= 0) {
    while (!done) {
      pollfd waiting{listener, POLLIN, 0};
      if (poll(&waiting, 1, 20) <= 0 || !(waiting.revents & POLLIN)) continue;
      seccomp_notif request{};
      if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &request) != 0) continue;
      seen(request.data);
      seccomp_notif_resp response{};
      response.id = request.id;
      response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
      ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response);
    }
    close(listener);
  }
  thread.join();
  return result;
}

}  // namespace vellicor::testing_support
