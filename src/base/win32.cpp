#include "base/win32.hpp"

#include "base/os_error.hpp"
#include "base/path.hpp"
#include "base/utf.hpp"

namespace vellicor {

// The Windows side of Handle lives here, with the rest of the platform glue that win32.hpp
// declares: the header's UniqueHandle builds on Handle.
bool Handle::valid() const {
  return native_ != kNone && native_ != 0;
}

void Handle::reset() {
  if (valid()) CloseHandle(reinterpret_cast<HANDLE>(native_));
  native_ = kNone;
}

Status Handle::close() {
  const Native native = release();
  if (native != kNone && native != 0 && !CloseHandle(reinterpret_cast<HANDLE>(native))) {
    return fail(last_os_io_error());
  }
  return {};
}

}  // namespace vellicor

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
