#include "base/win32.hpp"
#include "main/file_handles.hpp"
#include "process/process.hpp"

namespace vellicor {

namespace {

HANDLE os_handle_of(const FileHandle& handle) {
  return reinterpret_cast<HANDLE>(handle.os_handle);
}

// The disposition record is one 4-byte delete flag.
bool set_delete_flag(const FileHandle& handle, DWORD delete_flag) {
  return SetFileInformationByHandle(os_handle_of(handle), FileDispositionInfo, &delete_flag,
                                    sizeof delete_flag);
}

}  // namespace

Result<FileHandle> open_file_handle(std::string_view path) {
  auto wide = win32::wide_path(path);
  if (!wide) return fail_other("Failed to create file handle: the path is not valid text");
  // DELETE access only, share mode 0, no backup semantics: directories do not open.
  const HANDLE handle =
      CreateFileW(wide->c_str(), DELETE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return fail(error_with_os_text("Failed to create file handle: "));
  return FileHandle{reinterpret_cast<intptr_t>(handle), std::string(path), false};
}

Status mark_for_deletion(FileHandle& handle) {
  if (!set_delete_flag(handle, 1)) {
    return fail(error_with_os_text("Failed to mark file for deletion: "));
  }
  handle.marked = true;
  return {};
}

Status unmark_for_deletion(FileHandle& handle) {
  if (!set_delete_flag(handle, 0)) {
    return fail(error_with_os_text("Failed to unmark file for deletion: "));
  }
  handle.marked = false;
  return {};
}

Status check_entries_deletable_in(std::string_view) {
  return {};
}

Status close_file_handle(FileHandle& handle) {
  if (!CloseHandle(os_handle_of(handle))) {
    return fail(error_with_os_text("Failed to close file handle: "));
  }
  handle.os_handle = reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);
  return {};
}

}  // namespace vellicor
