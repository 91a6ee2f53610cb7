#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <time.h>

#include <cerrno>
#include <filesystem>
#include <thread>

#include "support/child_process.hpp"

extern char** environ;

namespace vellicor::testing_support {
namespace {

class PosixChild : public ChildProcess {
 public:
  explicit PosixChild(pid_t pid) : pid_(pid) {}
  ~PosixChild() override {
    if (!reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  uint32_t pid() const override { return static_cast<uint32_t>(pid_); }
  bool wait_for_exit(std::chrono::milliseconds timeout) override {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!reaped_) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        reaped_ = true;
        break;
      }
      if (std::chrono::steady_clock::now() > deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return reaped_;
  }

 private:
  pid_t pid_;
  bool reaped_ = false;
};

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::string& program,
                                                  const std::vector<std::string>& args) {
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : all)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    return nullptr;
  }
  return std::make_unique<PosixChild>(pid);
}

std::unique_ptr<ChildProcess> start_unkillable(const std::string& program, int seconds,
                                               const std::string& marker) {
  const pid_t keeper = fork();
  if (keeper < 0) return nullptr;
  if (keeper == 0) {
    // Only async-signal-safe calls from here on: the test process has threads.
    const pid_t zombie = fork();
    if (zombie == 0) {
      execl(program.c_str(), program.c_str(), "0", static_cast<char*>(nullptr));
      _exit(127);
    }
    const timespec moment{0, 200 * 1000 * 1000};
    nanosleep(&moment, nullptr);  // the program has ended by now, and nobody reaps it
    const int fd = open(marker.c_str(), O_CREAT | O_WRONLY, 0600);
    if (fd >= 0) close(fd);
    const timespec rest{seconds, 0};
    nanosleep(&rest, nullptr);
    _exit(0);
  }
  return std::make_unique<PosixChild>(keeper);
}

size_t open_handle_count() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

std::string platform_path(const std::string& build_path) {
  return build_path;
}

std::string own_executable_path() {
  return std::filesystem::read_symlink("/proc/self/exe");
}

uint32_t current_process_id() {
  return static_cast<uint32_t>(getpid());
}

void set_last_os_error(int code) {
  errno = code;
}

}  // namespace vellicor::testing_support
