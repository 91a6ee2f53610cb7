#include <string>

#include "base/os_error.hpp"
#include "base/utf.hpp"
#include "base/win32.hpp"
#include "main/update_lock.hpp"

namespace vellicor {
namespace {

// A named mutex of every session ("Global\"), named after the root as the file system compares
// names: upper-cased, hashed (FNV-1a, 64 bits) to fit any length into a name.
Result<std::wstring> mutex_name(std::string_view root) {
  auto units = utf8_to_utf16(root);
  if (!units) return fail(os_io_error(ERROR_INVALID_NAME));
  uint64_t hash = 0xCBF29CE484222325;
  for (const char16_t unit : *units) {
    const char16_t upper = upper_case_unit(unit);
    for (const uint8_t byte : {static_cast<uint8_t>(upper), static_cast<uint8_t>(upper >> 8)}) {
      hash = (hash ^ byte) * 0x100000001B3;
    }
  }
  std::wstring name = L"Global\\Vellicor.Updater.";
  for (int shift = 60; shift >= 0; shift -= 4)
    name.push_back(L"0123456789abcdef"[(hash >> shift) & 15]);
  return name;
}

}  // namespace

// A mutex that the process owns is abandoned when the process ends, and the next one to wait
// for it gets it.
Result<UpdateLock> UpdateLock::take(std::string_view root) {
  const std::string busy = "Another update of this installation is running: " + std::string(root);
  auto name = mutex_name(root);
  if (!name) return fail(name.error());
  win32::UniqueHandle mutex(CreateMutexW(nullptr, FALSE, name->c_str()));
  if (!mutex.valid()) {
    // Another user's update made it, and this user may not touch it.
    if (GetLastError() == ERROR_ACCESS_DENIED) return fail_other(busy);
    return fail(last_os_io_error());
  }
  switch (WaitForSingleObject(mutex.get(), 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      return UpdateLock(reinterpret_cast<intptr_t>(mutex.release()));
    case WAIT_TIMEOUT:
      return fail_other(busy);
    default:
      return fail(last_os_io_error());
  }
}

UpdateLock::~UpdateLock() {
  if (handle_ == kNone) return;
  const HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

}  // namespace vellicor
