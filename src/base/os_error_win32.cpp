// The Windows side of the OS errors: the system's texts, and what its codes mean to this program.

#include <vector>

#include "base/os_error.hpp"
#include "base/utf.hpp"
#include "base/win32.hpp"

namespace vellicor {

int last_os_error_code() {
  return static_cast<int>(GetLastError());
}

void set_last_os_error_code(int code) {
  SetLastError(static_cast<DWORD>(code));
}

Result<std::string> os_error_text(int code) {
  constexpr DWORD kBufferUnits = 32000;
  std::vector<wchar_t> buffer(kBufferUnits, L'\0');
  // Language 0: the system's own order of languages. The text keeps its line break.
  const DWORD written =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(code), 0, buffer.data(), kBufferUnits, nullptr);
  if (written == 0) return std::string(kUnknownOsError);
  return wide_to_text(reinterpret_cast<const char16_t*>(buffer.data()), written);
}

std::span<const OsErrorRow> os_error_table() {
  // The codes that this program tells apart.
  static constexpr OsErrorRow kMeanings[] = {
      {static_cast<int>(ERROR_FILE_NOT_FOUND), OsErrorMeaning::NotFound},
      {static_cast<int>(ERROR_PATH_NOT_FOUND), OsErrorMeaning::NotFound},
      // Wine gives ERROR_TOO_MANY_OPEN_FILES for a process out of descriptors (EMFILE, ENFILE), one
      // for each open handle. Windows has no such limit of its own (16,777,216 handles a process);
      // when the kernel's pool for handles runs out it answers STATUS_INSUFFICIENT_RESOURCES, which
      // reaches Win32 as ERROR_NO_SYSTEM_RESOURCES, and a job's or a user's quota
      // STATUS_QUOTA_EXCEEDED, ERROR_NOT_ENOUGH_QUOTA (RtlNtStatusToDosError; Russinovich, "Pushing
      // the Limits of Windows: Handles"). None passes while the update holds what it holds.
      {static_cast<int>(ERROR_TOO_MANY_OPEN_FILES), OsErrorMeaning::OutOfHandles},
      {static_cast<int>(ERROR_NO_SYSTEM_RESOURCES), OsErrorMeaning::OutOfHandles},
      {static_cast<int>(ERROR_NOT_ENOUGH_QUOTA), OsErrorMeaning::OutOfHandles},
      // A file system that flushes no file or folder (a redirector of a share) keeps its entries as
      // it keeps them: there is nothing to ask of it. It answers STATUS_INVALID_DEVICE_REQUEST,
      // which reaches Win32 as ERROR_INVALID_FUNCTION, or STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED
      // (RtlNtStatusToDosError).
      {static_cast<int>(ERROR_INVALID_FUNCTION), OsErrorMeaning::NoFlushHere},
      {static_cast<int>(ERROR_NOT_SUPPORTED), OsErrorMeaning::NoFlushHere},
  };
  return kMeanings;
}

}  // namespace vellicor
