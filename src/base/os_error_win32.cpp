#include <vector>

#include "base/os_error.hpp"
#include "base/utf.hpp"
#include "base/win32.hpp"

namespace vellicor {

int last_os_error_code() {
  return static_cast<int>(GetLastError());
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

bool is_not_found(const Error& error) {
  return error.os_code() == ERROR_FILE_NOT_FOUND || error.os_code() == ERROR_PATH_NOT_FOUND;
}

}  // namespace vellicor
