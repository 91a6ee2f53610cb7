#include "base/fs.hpp"
#include "base/os_error.hpp"
#include "base/win32.hpp"

namespace vellicor {

Result<FileMetadata> metadata(std::string_view path) {
  auto wide = win32::to_wide(path);
  if (!wide) return fail(os_io_error(ERROR_INVALID_NAME));
  // Opening with no access and backup semantics reaches files and directories alike and
  // follows links to their target.
  win32::UniqueHandle handle(
      CreateFileW(wide->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.valid()) return fail(last_os_io_error());
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle.get(), &info)) return fail(last_os_io_error());
  return FileMetadata{(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0};
}

}  // namespace vellicor
