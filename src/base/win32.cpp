#include "base/win32.hpp"

#include <vector>

#include "base/os_error.hpp"
#include "base/path.hpp"
#include "base/utf.hpp"

namespace vellicor {

// The Windows side of Handle lives here, with the platform glue that win32.hpp declares, which
// builds on both (UniqueHandle on Handle, wide_path on os_io_error).

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

AttributeChange set_read_only(std::wstring_view path, bool read_only) {
  const std::wstring terminated(path);
  const UniqueHandle attributes(
      CreateFileW(terminated.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FILE_BASIC_INFO info{};
  if (!attributes.valid() ||
      !GetFileInformationByHandleEx(attributes.get(), FileBasicInfo, &info, sizeof info)) {
    return AttributeChange::Failed;
  }
  if (((info.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) == read_only) {
    return AttributeChange::AlreadySo;
  }
  // FILE_ATTRIBUTE_NORMAL stands alone, and a time of 0 leaves that time as it is.
  info.FileAttributes = (info.FileAttributes & ~FILE_ATTRIBUTE_NORMAL) ^ FILE_ATTRIBUTE_READONLY;
  if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  info.CreationTime.QuadPart = info.LastAccessTime.QuadPart = 0;
  info.LastWriteTime.QuadPart = info.ChangeTime.QuadPart = 0;
  return SetFileInformationByHandle(attributes.get(), FileBasicInfo, &info, sizeof info)
             ? AttributeChange::Made
             : AttributeChange::Failed;
}

}  // namespace vellicor::win32
