#include "base/delete_handle.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"
#include "base/simulated_failure.hpp"
#include "base/tree_removal.hpp"
#include "base/tree_walk.hpp"
#include "base/tree_walk_win32.hpp"
#include "base/win32.hpp"

namespace vellicor {

namespace {

// The disposition record is one 4-byte delete flag.
bool set_delete_flag(const Handle& handle, DWORD delete_flag) {
  // The mark is the deletion (it takes effect at the close), and unmarking is never failed.
  if (delete_flag != 0 && fails_simulated(DurableCall::Unlink)) return false;
  return SetFileInformationByHandle(reinterpret_cast<HANDLE>(handle.get()), FileDispositionInfo,
                                    &delete_flag, sizeof delete_flag);
}

using win32::AttributeChange;

// The held file's read-only attribute on or off (win32::set_read_only): the path still names the
// held file, which nothing can rename or replace while a handle without delete sharing is open.
AttributeChange set_read_only(const std::string& path, bool read_only) {
  auto wide = win32::wide_path(path);
  return wide ? win32::set_read_only(*wide, read_only) : AttributeChange::Failed;
}

}  // namespace

Result<DeleteHandle> open_file_handle(std::string_view path) {
  const auto folder = parent_path(path);
  const auto name = path_file_name(path);
  if (!folder || !name) {
    return fail_other("Failed to create file handle: " + std::string(path) + " names no file");
  }
  // Its folder as the top of a walk of its own, through whose handle the file is opened.
  auto top = open_walk_top(*folder);
  if (!top) return fail(prefixed("Failed to create file handle: ", top.error()));
  return open_file_handle(*top, *name);
}

Result<DeleteHandle> open_file_handle(const WalkedFolder& folder, std::string_view name) {
  // Through the folder's handle, as the file that was listed there and nothing else (no link,
  // nothing a Unix link leads to). Held without sharing, it cannot be renamed or replaced, nor a
  // folder above it while it is open (opens_stop_renames): its path names it from here on.
  auto handle =
      open_listed_entry(folder, name, EntryKind::File, DELETE, 0, FILE_NON_DIRECTORY_FILE);
  if (!handle) {
    const auto code = handle.error().os_code();
    if (handle.error().kind() == EntryChangedError || !code) return fail(handle.error());
    SetLastError(static_cast<DWORD>(*code));
    return fail(error_with_os_text("Failed to create file handle: "));
  }
  return DeleteHandle(std::move(*handle), join_path(folder.path(), name));
}

Status mark_for_deletion(DeleteHandle& handle) {
  if (set_delete_flag(handle.handle_, 1)) {
    handle.marked_ = true;
    return {};
  }
  DWORD code = GetLastError();
  // Windows refuses to mark a read-only file (STATUS_CANNOT_DELETE, which reaches Win32 as
  // ERROR_ACCESS_DENIED). The installer's own uninstaller deletes such files by clearing the
  // attribute first; so does the update, just before the mark.
  if (code == ERROR_ACCESS_DENIED && set_read_only(handle.path_, false) == AttributeChange::Made) {
    handle.cleared_read_only_ = true;
    if (set_delete_flag(handle.handle_, 1)) {
      handle.marked_ = true;
      return {};
    }
    code = GetLastError();
    if (set_read_only(handle.path_, true) != AttributeChange::Failed) {
      handle.cleared_read_only_ = false;
    }
  }
  SetLastError(code);
  return fail(error_with_os_text("Failed to mark file for deletion: " + handle.path_ + ": "));
}

Status unmark_for_deletion(DeleteHandle& handle) {
  if (!set_delete_flag(handle.handle_, 0)) {
    return fail(error_with_os_text("Failed to unmark file for deletion: "));
  }
  handle.marked_ = false;
  if (handle.cleared_read_only_) {
    if (set_read_only(handle.path_, true) == AttributeChange::Failed) {
      return fail(error_with_os_text("Failed to make " + handle.path_ + " read-only again: "));
    }
    handle.cleared_read_only_ = false;
  }
  return {};
}

Status check_entries_deletable_in(std::string_view) {
  return {};
}

Status check_attributes_allow_deletion(std::string_view path) {
  auto wide = win32::wide_path(path);
  if (!wide) return fail(wide.error());
  // A read-only file or folder is deleted once its attribute is cleared, which takes the right to
  // write its attributes: without it the mark fails (or the folder stays) after the update has
  // recorded itself. Asked here with an open for that right alone (a scan of the access control
  // list would miss what the file system itself refuses).
  const DWORD attributes = GetFileAttributesW(wide->c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) return {};
  const win32::UniqueHandle writable(CreateFileW(
      wide->c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (writable.valid()) return {};
  return fail(error_with_os_text("Cannot delete " + std::string(path) +
                                 ": its read-only attribute cannot be cleared: "));
}

Status check_attributes_allow_deletion(const DeleteHandle& handle) {
  return check_attributes_allow_deletion(handle.path_);
}

std::optional<std::string_view> forbidding_attribute(std::string_view) {
  return std::nullopt;
}

Status check_holdable(std::string_view) {
  return {};
}

Status close_file_handle(DeleteHandle& handle) {
  // Released first, as Handle::close does: a handle is never closed twice.
  if (!CloseHandle(reinterpret_cast<HANDLE>(handle.handle_.release()))) {
    return fail(error_with_os_text("Failed to close file handle: "));
  }
  return {};
}

}  // namespace vellicor
