#include "base/os_error.hpp"
#include "base/win32.hpp"
#include "main/file_handles.hpp"

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

enum class AttributeChange { Made, AlreadySo, Failed };

// Sets the read-only attribute of the held file on or off. The attributes
// go through a handle of their own, since the held one has delete access only. Its share mode 0
// does not keep this open out: share modes do not govern FILE_READ_ATTRIBUTES and
// FILE_WRITE_ATTRIBUTES. And the path still names the held file, which nothing can rename or
// replace while a handle without delete sharing is open.
AttributeChange set_read_only(const FileHandle& handle, bool read_only) {
  auto wide = win32::wide_path(handle.path);
  if (!wide) return AttributeChange::Failed;
  const win32::UniqueHandle attributes(CreateFileW(
      wide->c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
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
  if (set_delete_flag(handle, 1)) {
    handle.marked = true;
    return {};
  }
  DWORD code = GetLastError();
  // Windows refuses to mark a read-only file (STATUS_CANNOT_DELETE, which reaches Win32 as
  // ERROR_ACCESS_DENIED). The installer's own uninstaller deletes such files by clearing the
  // attribute first; so does the update, just before the mark.
  if (code == ERROR_ACCESS_DENIED && set_read_only(handle, false) == AttributeChange::Made) {
    handle.cleared_read_only = true;
    if (set_delete_flag(handle, 1)) {
      handle.marked = true;
      return {};
    }
    code = GetLastError();
    if (set_read_only(handle, true) != AttributeChange::Failed) handle.cleared_read_only = false;
  }
  SetLastError(code);
  return fail(error_with_os_text("Failed to mark file for deletion: " + handle.path + ": "));
}

Status unmark_for_deletion(FileHandle& handle) {
  if (!set_delete_flag(handle, 0)) {
    return fail(error_with_os_text("Failed to unmark file for deletion: "));
  }
  handle.marked = false;
  if (handle.cleared_read_only) {
    if (set_read_only(handle, true) == AttributeChange::Failed) {
      return fail(error_with_os_text("Failed to make " + handle.path + " read-only again: "));
    }
    handle.cleared_read_only = false;
  }
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
