// A process for tests to find, kill, or have hold a file open:
//   sleeper <seconds> [file to hold open, or -] [file to create once running, and whose
//                                                 removal ends the program]
//   sleeper                                        (started as an application is relaunched)
//   sleeper protect <seconds> <file to create once running>   (Windows)
// The second form starts a copy of itself that nobody may open, not even to terminate it, and
// ends.
// Sleeps for the given number of seconds (default 60). A held file is opened for reading with
// full sharing (read, write and delete on Windows), the way a virus scanner or an editor
// might; a path that starts with "!" is held without delete sharing (Windows), so that nobody
// can rename or delete the file meanwhile. The last file tells a test that the process is up
// and running its own code. Without arguments it writes the file "relaunched" into its current
// folder, holding that folder's path, and ends.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/sleep.hpp"

#ifdef _WIN32
#include <windows.h>
// After windows.h, which defines its types.
#include <sddl.h>
#else
#include <fcntl.h>
#endif

namespace {

bool hold_open(const char* path) {
#ifdef _WIN32
  const bool exclusive = path[0] == '!';
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (exclusive ? 0 : FILE_SHARE_DELETE);
  const HANDLE handle = CreateFileA(path + (exclusive ? 1 : 0), GENERIC_READ, share, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return handle != INVALID_HANDLE_VALUE;
#else
  return open(path, O_RDONLY) >= 0;
#endif
}

#ifdef _WIN32
int start_protected_copy(const char* seconds, const char* marker) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" ";
  for (const char* c = seconds; *c; ++c)
    command += static_cast<wchar_t>(*c);
  command += L" - \"";
  for (const char* c = marker; *c; ++c)
    command += static_cast<wchar_t>(*c);
  command += L"\"";
  // A discretionary ACL with one entry: deny everyone everything.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(D;;GA;;;WD)", SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return 3;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(self, command.data(), &attributes, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return 4;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) {
    std::ofstream("relaunched") << std::filesystem::current_path().string();
    return 0;
  }
#ifdef _WIN32
  if (argc == 4 && std::string(argv[1]) == "protect") return start_protected_copy(argv[2], argv[3]);
#endif
  const int seconds = std::atoi(argv[1]);
  if (argc > 2 && std::string(argv[2]) != "-" && !hold_open(argv[2])) return 2;
  if (argc <= 3) {
    vellicor::sleep_milliseconds(seconds > 0 ? static_cast<uint32_t>(seconds) * 1000 : 0);
    return 0;
  }
  // Runs until the time is up or the test removes the file: a test can end even a process
  // that nobody may terminate.
  const char* marker = argv[3];
  std::ofstream(marker) << "running\n";
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end && std::ifstream(marker).good()) {
    vellicor::sleep_milliseconds(100);
  }
  return 0;
}
