#include "base/win32.hpp"

#include <tlhelp32.h>

#include <vector>

#include "base/os_error.hpp"
#include "base/path.hpp"
#include "base/utf.hpp"
#include "logging/logger.hpp"
#include "process/process.hpp"

namespace vellicor {
namespace {

// The 32-bit process-entry record; the snapshot calls check its size field.
static_assert(sizeof(PROCESSENTRY32W) == 556, "the program is built for 32-bit Windows");

// No more than the image path query and the termination need. A limited query reaches 64-bit
// processes from this 32-bit program too, where reading a module's name from the process's
// memory (GetModuleFileNameExW) fails.
constexpr DWORD kProcessAccess = PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION;

// The longest path the system has: 32,767 units and the terminating zero.
constexpr DWORD kImagePathUnits = 32768;

Result<std::string> units_to_text(const wchar_t* units, size_t length) {
  return wide_to_text(reinterpret_cast<const char16_t*>(units), length);
}

}  // namespace

Result<std::vector<ProcessEntry>> list_processes() {
  win32::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return fail_other("Could not create process snapshot");

  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  if (Process32FirstW(snapshot.get(), &entry) != 1) {
    return fail_other("Could not get first process data");
  }
  std::vector<ProcessEntry> listing;
  do {
    auto name = units_to_text(entry.szExeFile, std::size(entry.szExeFile));
    if (!name) return fail(name.error());
    listing.push_back({std::move(*name), entry.th32ProcessID});
  } while (Process32NextW(snapshot.get(), &entry) == 1);
  return listing;
}

Status kill_process_if_found(Logger& logger, const ProcessEntry& entry,
                             std::string_view expected_path) {
  const std::string pid = std::to_string(entry.pid);
  log_info(logger, "Kill process if found: " + pid + ", " + entry.name, kProcessModule);

  win32::UniqueHandle process(OpenProcess(kProcessAccess, FALSE, entry.pid));
  if (!process.valid()) return fail(error_with_os_text("Failed to open process: "));

  // The Win32 form of the path (C:\...), as the code path is written.
  std::vector<wchar_t> image(kImagePathUnits);
  DWORD written = kImagePathUnits;
  if (!QueryFullProcessImageNameW(process.get(), 0, image.data(), &written)) {
    return fail(error_with_os_text("Failed to get process file name: "));
  }
  auto image_path = units_to_text(image.data(), written);
  if (!image_path) return fail(image_path.error());

  if (!names_same_file(*image_path, expected_path)) return {};

  log_info(logger, "Found " + entry.name + " running, pid " + pid + ", attempting to kill...",
           kProcessModule);
  if (TerminateProcess(process.get(), 0) != 1) return fail_other("Failed to kill process");
  log_info(logger, "Successfully killed " + entry.name + ", pid " + pid, kProcessModule);
  return {};
}

Result<uint32_t> start_detached(std::string_view executable, std::string_view folder) {
  auto program = win32::wide_path(executable);
  if (!program) return fail(program.error());
  auto directory = win32::wide_path(folder);
  if (!directory) return fail(directory.error());
  // The command line is the program's path alone, quoted as the system splits it.
  std::wstring command = L"\"" + *program + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  // No handles of ours, no console of ours, a process group of its own.
  if (!CreateProcessW(program->c_str(), command.data(), nullptr, nullptr, FALSE,
                      DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, directory->c_str(),
                      &startup, &started)) {
    return fail(last_os_io_error());
  }
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return static_cast<uint32_t>(started.dwProcessId);
}

}  // namespace vellicor
