#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "base/os_error.hpp"
#include "base/path.hpp"
#include "base/utf.hpp"
#include "logging/logger.hpp"
#include "process/process.hpp"

namespace vellicor {
namespace {

// A pid file descriptor pins one process: unlike a bare pid it can never come to mean a new
// process that reused the number. It plays the part of a process handle.
class ProcessHandle {
 public:
  explicit ProcessHandle(pid_t pid) : fd_(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {}
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;
  ~ProcessHandle() {
    if (fd_ >= 0) close(fd_);
  }
  bool valid() const { return fd_ >= 0; }
  bool signal(int number) const {
    return syscall(SYS_pidfd_send_signal, fd_, number, nullptr, 0) == 0;
  }

 private:
  int fd_;
};

std::optional<std::string> read_link(const std::string& path) {
  std::string target(4096, '\0');
  const ssize_t length = readlink(path.c_str(), target.data(), target.size());
  if (length < 0) return std::nullopt;
  if (static_cast<size_t>(length) >= target.size()) {
    errno = ENAMETOOLONG;
    return std::nullopt;
  }
  target.resize(static_cast<size_t>(length));
  return target;
}

// The executable's file name, or the kernel's short command name when the image is not
// readable (another user's process, a kernel thread).
std::optional<std::string> process_name(const std::string& pid) {
  if (auto image = read_link("/proc/" + pid + "/exe")) {
    if (auto name = path_file_name(*image)) return name;
  }
  std::ifstream comm("/proc/" + pid + "/comm");
  std::string name;
  if (!std::getline(comm, name)) return std::nullopt;
  return name;
}

std::optional<uint32_t> parse_pid(const char* text) {
  uint64_t value = 0;
  if (*text == '\0') return std::nullopt;
  for (; *text; ++text) {
    if (*text < '0' || *text > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(*text - '0');
    if (value > UINT32_MAX) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

}  // namespace

Result<std::vector<ProcessEntry>> list_processes() {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return fail_other("Could not create process snapshot");
  std::vector<ProcessEntry> listing;
  Status status;
  while (const dirent* entry = readdir(proc)) {
    const auto pid = parse_pid(entry->d_name);
    if (!pid) continue;
    auto name = process_name(entry->d_name);
    if (!name) continue;  // ended while we listed
    if (!is_valid_utf8(*name)) {
      status = fail_other("Could not convert from utf16");
      break;
    }
    listing.push_back({std::move(*name), *pid});
  }
  closedir(proc);
  if (!status) return fail(status.error());
  if (listing.empty()) return fail_other("Could not get first process data");
  return listing;
}

Status kill_process_if_found(Logger& logger, const ProcessEntry& entry,
                             std::string_view expected_path) {
  const std::string pid = std::to_string(entry.pid);
  log_info(logger, "Kill process if found: " + pid + ", " + entry.name, kProcessModule);

  const ProcessHandle process(static_cast<pid_t>(entry.pid));
  if (!process.valid()) return fail(error_with_os_text("Failed to open process: "));
  const auto image_path = read_link("/proc/" + pid + "/exe");
  if (!image_path) return fail(error_with_os_text("Failed to open process: "));
  // The image was read through the pid: it belongs to the pinned process only if that process
  // still runs now.
  if (!process.signal(0)) return fail(error_with_os_text("Failed to open process: "));

  if (!names_same_file(*image_path, expected_path)) return {};

  log_info(logger, "Found " + entry.name + " running, pid " + pid + ", attempting to kill...",
           kProcessModule);
  if (!process.signal(SIGKILL)) return fail_other("Failed to kill process");
  log_info(logger, "Successfully killed " + entry.name + ", pid " + pid, kProcessModule);
  return {};
}

}  // namespace vellicor

namespace vellicor {

Result<uint32_t> start_detached(std::string_view executable, std::string_view folder) {
  const std::string program(executable);
  const std::string directory(folder);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null",
                                     fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
  }
  posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A session of its own: no signal meant for this program's group or terminal reaches it.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
  pid_t pid = 0;
  const int code = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (code != 0) return fail(os_io_error(code));
  return static_cast<uint32_t>(pid);
}

}  // namespace vellicor
