#include <string>

#include "base/os_error.hpp"
#include "base/path.hpp"
#include "base/win32.hpp"
#include "update/update_lock.hpp"

namespace vellicor {
namespace {

// A named mutex of every session ("Global\"), named after the root as the file system compares
// names (path_key fits any length into a name).
std::wstring mutex_name(std::string_view root) {
  std::wstring name = L"Global\\Vellicor.Updater.";
  for (const char digit : path_key(root))
    name.push_back(static_cast<wchar_t>(digit));
  return name;
}

}  // namespace

// A mutex that the process owns is abandoned when the process ends, and the next one to wait
// for it gets it.
Result<std::optional<UpdateLock>> UpdateLock::try_take(std::string_view root) {
  win32::UniqueHandle mutex(CreateMutexW(nullptr, FALSE, mutex_name(root).c_str()));
  if (!mutex.valid()) {
    // Another user's update made it, and this user may not touch it.
    if (GetLastError() == ERROR_ACCESS_DENIED) return std::optional<UpdateLock>();
    return fail(last_os_io_error());
  }
  switch (WaitForSingleObject(mutex.get(), 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      return std::optional(UpdateLock(std::move(mutex)));
    case WAIT_TIMEOUT:
      return std::optional<UpdateLock>();
    default:
      return fail(last_os_io_error());
  }
}

UpdateLock::~UpdateLock() {
  if (handle_.valid()) ReleaseMutex(reinterpret_cast<HANDLE>(handle_.get()));
}

}  // namespace vellicor
