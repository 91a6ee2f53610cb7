#include "base/win32.hpp"

#include <vector>

#include "support/child_process.hpp"

namespace vellicor::testing_support {
namespace {

class WindowsChild : public ChildProcess {
 public:
  explicit WindowsChild(const PROCESS_INFORMATION& info)
      : process_(info.hProcess), thread_(info.hThread), pid_(info.dwProcessId) {}
  ~WindowsChild() override {
    if (WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.get(), 1);
      WaitForSingleObject(process_.get(), 5000);
    }
  }
  uint32_t pid() const override { return pid_; }
  bool wait_for_exit(std::chrono::milliseconds timeout) override {
    return WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) ==
           WAIT_OBJECT_0;
  }

 private:
  win32::UniqueHandle process_;
  win32::UniqueHandle thread_;
  uint32_t pid_;
};

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::string& program,
                                                  const std::vector<std::string>& args) {
  std::string command_line = "\"" + program + "\"";
  for (const auto& arg : args)
    command_line += " \"" + arg + "\"";
  auto wide_program = win32::to_wide(program);
  auto wide_command = win32::to_wide(command_line);
  if (!wide_program || !wide_command) return nullptr;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(wide_program->c_str(), wide_command->data(), nullptr, nullptr, FALSE, 0,
                      nullptr, nullptr, &startup, &info)) {
    return nullptr;
  }
  return std::make_unique<WindowsChild>(info);
}

std::unique_ptr<ChildProcess> start_unkillable(const std::string& program, int seconds,
                                               const std::string& marker) {
  // The sleeper starts a protected copy of itself and ends.
  auto launcher = ChildProcess::start(program, {"protect", std::to_string(seconds), marker});
  if (!launcher || !launcher->wait_for_exit(std::chrono::seconds(20))) return nullptr;
  return launcher;
}

size_t open_handle_count() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

std::string platform_path(const std::string& build_path) {
  if (build_path.empty() || build_path[0] != '/') return build_path;
  std::string path = "Z:" + build_path;
  for (auto& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::string own_executable_path() {
  std::vector<wchar_t> buffer(32768);
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), buffer.size());
  return win32::from_wide(std::wstring_view(buffer.data(), length)).value_or("");
}

uint32_t current_process_id() {
  return GetCurrentProcessId();
}

void set_last_os_error(int code) {
  SetLastError(static_cast<DWORD>(code));
}

}  // namespace vellicor::testing_support
