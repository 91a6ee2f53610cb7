#include "base/win32.hpp"

#include "base/os_error.hpp"
#include "base/path.hpp"
#include "base/utf.hpp"

namespace vellicor::win32 {

Result<std::wstring> to_wide(std::string_view text) {
  auto units = utf8_to_utf16(text);
  if (!units) return fail(units.error());
  return std::wstring(units->begin(), units->end());
}

Result<std::wstring> wide_path(std::string_view path) {
  auto wide = to_wide(system_path(path));
  if (!wide) return fail(os_io_error(ERROR_INVALID_NAME));
  return wide;
}

Result<std::string> from_wide(std::wstring_view units) {
  return utf16_to_utf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(units.data()), units.size()));
}

}  // namespace vellicor::win32
