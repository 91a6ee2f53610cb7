#pragma once
// Child processes for tests: start a program, watch it end, and count this process's handles.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vellicor::testing_support {

class ChildProcess {
 public:
  // Starts `program` (a UTF-8 path) with the arguments; nothing when it cannot be started.
  static std::unique_ptr<ChildProcess> start(const std::string& program,
                                             const std::vector<std::string>& args = {});
  virtual ~ChildProcess() = default;  // kills the child if it still runs, and reaps it

  virtual uint32_t pid() const = 0;
  // True when the child ended within the timeout.
  virtual bool wait_for_exit(std::chrono::milliseconds timeout) = 0;
};

// Starts a copy of the sleeper that this process cannot kill, and that stays in the process
// listing under its file name for about `seconds`: on Windows with a security descriptor that
// denies everyone every access, on POSIX as a zombie that its parent never reaps. `marker` is
// created once it is listed. The result stands for the process that keeps it so.
std::unique_ptr<ChildProcess> start_unkillable(const std::string& program, int seconds,
                                               const std::string& marker);

// Open handles (Windows) or file descriptors (POSIX) of this process.
size_t open_handle_count();

// A path of the build tree in the form this platform's programs use (under Wine, "/x/y" is
// "Z:\x\y").
std::string platform_path(const std::string& build_path);

uint32_t current_process_id();

// The full path of the running test program.
std::string own_executable_path();

// Sets the calling thread's last OS error (GetLastError / errno).
void set_last_os_error(int code);

}  // namespace vellicor::testing_support
