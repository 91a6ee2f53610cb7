#include <cstring>
#include <vector>

#include "base/move_handle.hpp"
#include "base/os_error.hpp"
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

Status move_held(MoveHandle& handle, std::string_view to, bool durable) {
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
  if (!SetFileInformationByHandle(held, FileRenameInfo, rename,
                                  static_cast<DWORD>(buffer.size()))) {
    return fail(last_os_io_error());
  }
  // FAT's driver writes a file's entry out, in every folder above it, with the file's own flush:
  // the rename reaches the disk before the steps after it.
  if (durable && !FlushFileBuffers(held)) return fail(last_os_flush_error());
  handle.handle_.reset();
  return {};
}

Status check_not_open(std::string_view path) {
  auto handle = open_with_delete_access(path, 0);
  return handle ? Status{} : Status(fail(handle.error()));
}

}  // namespace vellicor
