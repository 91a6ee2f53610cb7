#include "base/file.hpp"
#include "base/os_error.hpp"
#include "base/simulated_failure.hpp"
#include "base/win32.hpp"

namespace vellicor {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// ReadFile and WriteFile take a DWORD count; larger requests are split.
constexpr size_t kMaxChunk = size_t{1} << 30;

HANDLE as_handle(const Handle& handle) {
  return reinterpret_cast<HANDLE>(handle.get());
}

Result<HANDLE> open_path(std::string_view path, DWORD access, DWORD disposition) {
  auto wide = win32::wide_path(path);
  if (!wide) return fail(wide.error());
  const HANDLE handle = CreateFileW(wide->c_str(), access, kShareAll, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return fail(last_os_io_error());
  return handle;
}

}  // namespace

Result<File> File::open_for_reading(std::string_view path) {
  auto handle = open_path(path, GENERIC_READ, OPEN_EXISTING);
  if (!handle) return fail(handle.error());
  File file{win32::UniqueHandle(*handle)};
  if (GetFileType(*handle) != FILE_TYPE_DISK) return fail(Error(IoError, kNotRegularFile));
  return file;
}

Result<File> File::create_for_writing(std::string_view path) {
  auto handle = open_path(path, GENERIC_WRITE, CREATE_ALWAYS);
  if (!handle) return fail(handle.error());
  return File(win32::UniqueHandle(*handle));
}

Result<File> File::create_new(std::string_view path) {
  // CREATE_NEW refuses an existing name, a link included.
  auto handle = open_path(path, GENERIC_WRITE, CREATE_NEW);
  if (!handle) return fail(handle.error());
  return File(win32::UniqueHandle(*handle));
}

Result<size_t> File::read(void* buffer, size_t size) {
  const DWORD chunk = static_cast<DWORD>(size < kMaxChunk ? size : kMaxChunk);
  DWORD got = 0;
  if (!ReadFile(as_handle(handle_), buffer, chunk, &got, nullptr)) {
    // The write end of a pipe going away is the end of the data, as on POSIX.
    if (GetLastError() == ERROR_BROKEN_PIPE) return size_t{0};
    return fail(last_os_io_error());
  }
  return static_cast<size_t>(got);
}

Result<size_t> File::write(const void* data, size_t size) {
  const DWORD chunk = static_cast<DWORD>(size < kMaxChunk ? size : kMaxChunk);
  DWORD put = 0;
  if (!WriteFile(as_handle(handle_), data, chunk, &put, nullptr)) return fail(last_os_io_error());
  return static_cast<size_t>(put);
}

Status File::seek(uint64_t offset) {
  LARGE_INTEGER distance{};
  distance.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(as_handle(handle_), distance, nullptr, FILE_BEGIN)) {
    return fail(last_os_io_error());
  }
  return {};
}

Result<uint64_t> File::position() {
  LARGE_INTEGER zero{};
  LARGE_INTEGER at{};
  if (!SetFilePointerEx(as_handle(handle_), zero, &at, FILE_CURRENT)) {
    return fail(last_os_io_error());
  }
  return static_cast<uint64_t>(at.QuadPart);
}

Result<uint64_t> File::size() {
  LARGE_INTEGER length{};
  if (!GetFileSizeEx(as_handle(handle_), &length)) return fail(last_os_io_error());
  return static_cast<uint64_t>(length.QuadPart);
}

Status File::flush() {
  if ((fails_simulated(DurableCall::Flush) || !FlushFileBuffers(as_handle(handle_))) &&
      !flush_not_supported(static_cast<int>(GetLastError()))) {
    return fail(last_os_flush_error());
  }
  return {};
}

Status remove_file(std::string_view path) {
  auto wide = win32::wide_path(path);
  if (!wide) return fail(wide.error());
  if (fails_simulated(DurableCall::Unlink) || !DeleteFileW(wide->c_str())) {
    return fail(last_os_io_error());
  }
  return {};
}

Status remove_file_if_present(std::string_view path) {
  auto wide = win32::wide_path(path);
  if (!wide) return fail(wide.error());
  if (fails_simulated(DurableCall::Unlink) || !DeleteFileW(wide->c_str())) {
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
      return fail(os_io_error(static_cast<int>(code)));
    }
  }
  return {};
}

Status flush_directory(std::string_view path) {
  auto wide = win32::wide_path(path);
  if (!wide) return fail(wide.error());
  // A folder's flush takes the right to add files or folders to it (MS-SMB2 3.3.5.11 asks
  // FILE_ADD_FILE or FILE_ADD_SUBDIRECTORY of a flush on a directory), and "ensures that the
  // directory structure is persisted to stable storage", the device's cache flushed with it
  // (MS-FSA 2.1.5.7).
  const win32::UniqueHandle folder(
      CreateFileW(wide->c_str(), FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | SYNCHRONIZE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!folder.valid()) return fail(last_os_io_error());
  if (!fails_simulated(DurableCall::Flush) && FlushFileBuffers(folder.get())) return {};
  if (flush_not_supported(static_cast<int>(GetLastError()))) return {};
  return fail(last_os_flush_error());
}

// A Windows process has no soft limit of handles to raise (16,777,216 handles a process:
// Russinovich, "Pushing the Limits of Windows: Handles").
void raise_open_file_limit() {}

}  // namespace vellicor
