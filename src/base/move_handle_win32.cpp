#include <cstring>
#include <vector>

#include "base/move_handle.hpp"
#include "base/os_error.hpp"
#include "base/simulated_failure.hpp"
#include "base/win32.hpp"

namespace vellicor {
namespace {

constexpr DWORD kQueryFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

Result<win32::UniqueHandle> open_with_delete_access(std::string_view path, DWORD share) {
  auto wide = win32::wide_path(path);
  if (!wide) return fail_other("Failed to create file handle: the path is not valid text");
  win32::UniqueHandle handle(
      CreateFileW(wide->c_str(), DELETE, share, nullptr, OPEN_EXISTING, kQueryFlags, nullptr));
  if (!handle.valid()) return fail(error_with_os_text("Failed to create file handle: "));
  return handle;
}

}  // namespace

Status move_held(MoveHandle& handle, std::string_view to, Flush flush) {
  auto target = win32::wide_path(to);
  if (!target) return fail(target.error());
  const HANDLE held = reinterpret_cast<HANDLE>(handle.handle_.get());
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(held, FileBasicInfo, &basic, sizeof basic)) {
    return fail(last_os_io_error());
  }
  // FILE_RENAME_INFO ends in the new name, without its terminating zero; as MoveFileExW, a folder
  // never replaces anything.
  const DWORD name_bytes = static_cast<DWORD>(target->size() * sizeof(wchar_t));
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + name_bytes);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = name_bytes;
  std::memcpy(rename->FileName, target->data(), name_bytes);
  if (fails_simulated(DurableCall::Rename) ||
      !SetFileInformationByHandle(held, FileRenameInfo, rename,
                                  static_cast<DWORD>(buffer.size()))) {
    return fail(last_os_io_error());
  }
  // The moved file's flush writes its entry in the folder that holds it now through to the disk,
  // before the steps after it: FAT's driver flushes a user file's data, then "the file's dirent in
  // the parent directory" and the FAT, write-through (Microsoft's fastfat driver sample, flush.c,
  // FatCommonFlushBuffers), where a flush of that folder would write nothing (the same routine
  // flushes a folder only at the volume's root). The entry that the rename freed in the folder
  // it left is not written by it; NTFS and ReFS log both (windows_renames_ordered).
  if (flush == Flush::HardwareFlush &&
      (fails_simulated(DurableCall::Flush) || !FlushFileBuffers(held))) {
    return fail(last_os_flush_error());
  }
  handle.handle_.reset();
  return {};
}

Status check_not_open(std::string_view path) {
  auto handle = open_with_delete_access(path, 0);
  return handle ? Status{} : Status(fail(handle.error()));
}

}  // namespace vellicor
