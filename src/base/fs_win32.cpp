#include <array>
#include <cstring>
#include <cwchar>
#include <memory>
#include <utility>
#include <vector>

#include "base/durability.hpp"
#include "base/entry_identity.hpp"
#include "base/file.hpp"
#include "base/fs.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"
#include "base/simulated_failure.hpp"
#include "base/tree_removal.hpp"
#include "base/tree_walk.hpp"
#include "base/volume.hpp"
#include "base/win32.hpp"
// After windows.h: RtlNtStatusToDosError.
#include <winternl.h>

namespace vellicor {
namespace {

// Closes a FindFirstFileW search on every path.
class FindHandle {
 public:
  explicit FindHandle(HANDLE handle) : handle_(handle) {}
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  ~FindHandle() {
    if (valid()) FindClose(handle_);
  }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

DirEntry to_entry(const WIN32_FIND_DATAW& data) {
  // The reserved field holds the reparse tag when the entry is a reparse point.
  const uint32_t tag =
      (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? data.dwReserved0 : 0;
  DirEntry entry;
  if (auto name = win32::from_wide(data.cFileName)) entry.name = std::move(*name);
  entry.kind = entry_kind_from_attributes(data.dwFileAttributes, tag);
  entry.directory_attribute = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return entry;
}

// What a listing of its parent says of the entry that the path itself names (links not
// followed).
Result<WIN32_FIND_DATAW> find_data(std::string_view path) {
  auto wide = win32::wide_path(path);
  if (!wide) return fail(wide.error());
  WIN32_FIND_DATAW data{};
  FindHandle find(FindFirstFileW(wide->c_str(), &data));
  if (!find.valid()) return fail(last_os_io_error());
  return data;
}

Result<DirEntry> entry_without_following(std::string_view path) {
  auto data = find_data(path);
  if (!data) return fail(data.error());
  return to_entry(*data);
}

Status remove_directory(std::string_view path) {
  auto wide = win32::wide_path(path);
  if (!wide) return fail(wide.error());
  // Windows refuses to remove a read-only folder (STATUS_CANNOT_DELETE), and Explorer marks
  // customised folders so; the attribute is cleared just before, and set again when the removal
  // fails. (Wine does not enforce it on folders.)
  const DWORD attributes = GetFileAttributesW(wide->c_str());
  const bool read_only =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (read_only) SetFileAttributesW(wide->c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if (fails_simulated(DurableCall::RemoveFolder) || !RemoveDirectoryW(wide->c_str())) {
    const int code = static_cast<int>(GetLastError());
    if (read_only) SetFileAttributesW(wide->c_str(), attributes);
    return fail(os_io_error(code));
  }
  return {};
}

// A handle that reaches files and directories alike (no access, backup semantics) and lets
// others do anything meanwhile; on what the path leads to, or with `flags` holding
// FILE_FLAG_OPEN_REPARSE_POINT on the entry itself.
Result<win32::UniqueHandle> open_for_query(std::string_view path, DWORD flags = 0) {
  auto wide = win32::wide_path(path);
  if (!wide) return fail(wide.error());
  win32::UniqueHandle handle(
      CreateFileW(wide->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr));
  if (!handle.valid()) return fail(last_os_io_error());
  return handle;
}

FileIdentity identity_of(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

// A file index of 0 or all ones names no single file.
bool names_one_file(const FileIdentity& number) {
  return number.index != 0 && number.index != UINT64_MAX;
}

Result<BY_HANDLE_FILE_INFORMATION> query_information(std::string_view path, DWORD flags = 0) {
  auto handle = open_for_query(path, flags);
  if (!handle) return fail(handle.error());
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle->get(), &info)) return fail(last_os_io_error());
  return info;
}

}  // namespace

Result<FileMetadata> metadata(std::string_view path) {
  auto info = query_information(path);
  if (!info) return fail(info.error());
  return FileMetadata{(info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                      info->dwVolumeSerialNumber, identity_of(*info)};
}

bool is_regular_file(std::string_view path) {
  auto wide = win32::wide_path(path);
  if (!wide) return false;
  // One query of the attributes, which for a symbolic link gives the link's own (Microsoft
  // documents this for GetFileAttributesExW; Wine shows no links at all). Only a reparse point
  // needs its tag, to tell a link from a file that merely carries one (a deduplicated or
  // cloud-backed file). A name with wildcards fails the attribute query, so the search that
  // reads the tag can only find the entry itself.
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(wide->c_str(), GetFileExInfoStandard, &data)) return false;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
  auto entry = entry_without_following(path);
  return entry && entry->kind == EntryKind::File;
}

namespace {

// What Windows says of the volume of the entry that `handle` holds, whose path is `path`.
WindowsVolume volume_of(HANDLE handle, std::string_view path) {
  WindowsVolume volume;
  wchar_t file_system[MAX_PATH + 1] = {};
  DWORD flags = 0;
  volume.answered = GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, &flags,
                                                  file_system, MAX_PATH + 1);
  if (volume.answered) {
    volume.flags = flags;
    volume.file_system = win32::from_wide(file_system).value_or("");
  }
  // The volume's root: a share's is a UNC path (\\server\share\), a local drive's a letter
  // or a volume GUID path, whose drive type tells a mapped network drive.
  auto wide = win32::wide_path(path);
  wchar_t root[MAX_PATH + 1] = {};
  if (!wide || !GetVolumePathNameW(wide->c_str(), root, MAX_PATH + 1)) {
    volume.remote = true;  // nothing known is nothing trusted
    return volume;
  }
  const std::wstring_view name = root;
  const bool unc =
      name.starts_with(L"\\\\") && !name.starts_with(L"\\\\?\\") && !name.starts_with(L"\\\\.\\");
  const bool unc_verbatim = name.starts_with(L"\\\\?\\UNC\\");
  volume.remote = unc || unc_verbatim || GetDriveTypeW(root) == DRIVE_REMOTE;
  return volume;
}

}  // namespace

bool is_folder_on_volume(std::string_view path, uint64_t) {
  auto wide = win32::wide_path(path);
  if (!wide) return false;
  // A volume mounted in a folder is a reparse point too.
  const DWORD attributes = GetFileAttributesW(wide->c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

Result<bool> numbers_last_at_folder(std::string_view path) {
  auto handle = open_for_query(path);
  if (!handle) return fail(handle.error());
  return windows_numbers_last(volume_of(handle->get(), path));
}

bool numbers_last_on_volume(std::string_view path) {
  auto handle = open_for_query(path);
  return handle && windows_numbers_last(volume_of(handle->get(), path));
}

bool renames_ordered_on_volume(std::string_view path) {
  auto handle = open_for_query(path);
  return handle && windows_renames_ordered(volume_of(handle->get(), path));
}

bool folder_moves_known_on_volume(std::string_view path) {
  auto handle = open_for_query(path);
  return handle && windows_folder_moves_known(volume_of(handle->get(), path));
}

namespace {

// The identity of the entry that `handle` holds, on a volume whose numbers last. Both parts are
// kept on the volume and outlast a reboot: the serial number is the one "that the operating
// system assigns when a hard disk is formatted" (GetVolumeInformationW), and "in the NTFS file
// system, a file keeps the same file ID until it is deleted" (BY_HANDLE_FILE_INFORMATION); the
// two "uniquely identify a file on a single computer".
Result<EntryIdentity> number_identity(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& info,
                                      std::string_view path, FolderTraits folders) {
  const FileIdentity number = identity_of(info);
  // ReFS's 64-bit index "is not guaranteed to be unique"; its 128-bit identifier is, and on NTFS
  // it is the same number. One that names no single entry is not taken for one. A system or
  // file system without the query (before Windows 8) answers so every time, and the index
  // stands; any other failure fails the identity, which must not be another value next time.
  FILE_ID_INFO id{};
  std::array<uint8_t, 16> bytes{};
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
    std::memcpy(bytes.data(), id.FileId.Identifier, bytes.size());
  } else if (const DWORD code = GetLastError(); code != ERROR_INVALID_PARAMETER &&
                                                code != ERROR_NOT_SUPPORTED &&
                                                code != ERROR_INVALID_FUNCTION) {
    return fail(os_io_error(static_cast<int>(code)));
  }
  uint64_t halves[2] = {0, number.index};
  if (windows_file_id_usable(bytes)) {
    std::memcpy(halves, bytes.data(), sizeof halves);
    std::swap(halves[0], halves[1]);
  } else if (!names_one_file(number)) {
    return traits_identity(path, folders);
  }
  return EntryIdentity{EntryIdentity::Basis::Number, {number.volume, halves[0], halves[1], 0}};
}

}  // namespace

Result<EntryIdentity> entry_identity(std::string_view path, FolderTraits folders) {
  const std::string unidentified = "Could not tell the identity of " + std::string(path) + ": ";
  auto handle = open_for_query(path, FILE_FLAG_OPEN_REPARSE_POINT);
  if (!handle) return fail(prefixed(unidentified, handle.error()));
  if (!windows_numbers_last(volume_of(handle->get(), path))) return traits_identity(path, folders);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle->get(), &info)) {
    return fail(prefixed(unidentified, last_os_io_error()));
  }
  auto identity = number_identity(handle->get(), info, path, folders);
  if (!identity) return fail(prefixed(unidentified, identity.error()));
  return identity;
}

namespace {

// The whole contents of two files of one size, compared piece by piece.
Result<bool> same_contents(HANDLE a, HANDLE b) {
  std::vector<char> first(1 << 16), second(1 << 16);
  for (;;) {
    DWORD got_first = 0, got_second = 0;
    if (!ReadFile(a, first.data(), static_cast<DWORD>(first.size()), &got_first, nullptr) ||
        !ReadFile(b, second.data(), static_cast<DWORD>(second.size()), &got_second, nullptr)) {
      return fail(last_os_io_error());
    }
    if (got_first != got_second) return false;
    if (got_first == 0) return true;
    if (std::memcmp(first.data(), second.data(), got_first) != 0) return false;
  }
}

}  // namespace

Result<bool> same_file(std::string_view a, std::string_view b) {
  // Opened to read, letting others do anything: a hold that lets others read leaves it.
  const auto open = [](std::string_view path) -> Result<win32::UniqueHandle> {
    auto wide = win32::wide_path(path);
    if (!wide) return fail(wide.error());
    win32::UniqueHandle handle(
        CreateFileW(wide->c_str(), FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!handle.valid()) return fail(last_os_io_error());
    return handle;
  };
  auto first = open(a);
  if (!first) return fail(first.error());
  auto second = open(b);
  if (!second) return fail(second.error());
  BY_HANDLE_FILE_INFORMATION one{}, other{};
  if (!GetFileInformationByHandle(first->get(), &one) ||
      !GetFileInformationByHandle(second->get(), &other)) {
    return fail(last_os_io_error());
  }
  if (one.nNumberOfLinks < 2 || other.nNumberOfLinks < 2) return false;
  if (one.nFileSizeHigh != other.nFileSizeHigh || one.nFileSizeLow != other.nFileSizeLow) {
    return false;
  }
  return same_contents(first->get(), second->get());
}

Result<EntryTraits> entry_traits(std::string_view path) {
  auto data = find_data(path);
  if (!data) return fail(data.error());
  return EntryTraits{
      to_entry(*data).kind, (uint64_t{data->nFileSizeHigh} << 32) | data->nFileSizeLow,
      (uint64_t{data->ftLastWriteTime.dwHighDateTime} << 32) | data->ftLastWriteTime.dwLowDateTime};
}

namespace {

// The final path of an open file or folder; `error` is the call's error code when it failed.
struct FinalPath {
  std::wstring path;
  DWORD error = 0;
};

FinalPath final_path_of(HANDLE handle) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return {{}, GetLastError()};
    // Too small a buffer gives the size needed, terminating unit included.
    if (length >= buffer.size()) {
      buffer.resize(length);
      continue;
    }
    buffer.resize(length);
    return {std::move(buffer)};
  }
}

// The path resolved through its folder, with its last name as the folder lists it (the file
// system's spelling). Links are not followed this way: a last component that is a link fails
// with `code`.
Result<std::string> resolve_through_folder(std::string_view path, DWORD code) {
  const std::string plain = normalize_path(without_verbatim_prefix(path));
  const auto folder = parent_path(plain);
  if (!folder || !path_file_name(plain) || folder->size() >= plain.size()) {
    return fail(os_io_error(static_cast<int>(code)));
  }
  auto resolved_folder = resolve_path(*folder);
  if (!resolved_folder) return resolved_folder;
  auto entry = entry_without_following(plain);
  if (!entry) return fail(entry.error());
  if (!entry->name || entry->kind == EntryKind::Link) {
    return fail(os_io_error(static_cast<int>(code)));
  }
  return join_path(*resolved_folder, *entry->name);
}

}  // namespace

Result<std::string> resolve_path(std::string_view path) {
  auto handle = open_for_query(path);
  if (!handle) return fail(handle.error());
  const FinalPath final_path = final_path_of(handle->get());
  if (final_path.error != 0) {
    // Windows gives the size it needs at any length (the buffer grows above). Wine's call
    // fails with ERROR_MORE_DATA instead once the path is longer than MAX_PATH; there the
    // folder, a shorter path, is resolved, and Wine shows no links anyway.
    if (final_path.error == ERROR_MORE_DATA) return resolve_through_folder(path, final_path.error);
    return fail(os_io_error(static_cast<int>(final_path.error)));
  }
  auto text = win32::from_wide(final_path.path);
  if (!text) return fail(os_io_error(ERROR_INVALID_NAME));
  return without_verbatim_prefix(*text);
}

Result<std::vector<DirEntry>> list_directory(std::string_view path) {
  auto pattern = win32::wide_path(join_path(path, "*"));
  if (!pattern) return fail(pattern.error());
  WIN32_FIND_DATAW data{};
  FindHandle find(FindFirstFileW(pattern->c_str(), &data));
  std::vector<DirEntry> entries;
  if (!find.valid()) {
    const DWORD code = GetLastError();
    // An empty drive root has not even "." and "..".
    if (code == ERROR_FILE_NOT_FOUND) return entries;
    return fail(os_io_error(static_cast<int>(code)));
  }
  for (;;) {
    const std::wstring_view name = data.cFileName;
    if (name != L"." && name != L"..") entries.push_back(to_entry(data));
    if (!FindNextFileW(find.get(), &data)) {
      const DWORD code = GetLastError();
      if (code == ERROR_NO_MORE_FILES) return entries;
      return fail(os_io_error(static_cast<int>(code)));
    }
  }
}

namespace {

Status move(std::string_view from, std::string_view to, Flush flush) {
  auto wide_from = win32::wide_path(from);
  if (!wide_from) return fail(wide_from.error());
  auto wide_to = win32::wide_path(to);
  if (!wide_to) return fail(wide_to.error());
  const DWORD attributes = GetFileAttributesW(wide_from->c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return fail(last_os_io_error());
  const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (fails_simulated(DurableCall::Rename) ||
      !MoveFileExW(wide_from->c_str(), wide_to->c_str(), windows_move_flags(directory, flush))) {
    return fail(last_os_io_error());
  }
  return {};
}

}  // namespace

Status rename_replacing(std::string_view from, std::string_view to) {
  return move(from, to, Flush::None);
}

Status rename_durably(std::string_view from, std::string_view to) {
  return move(from, to, Flush::HardwareFlush);
}

Status make_directory(std::string_view path) {
  auto wide = win32::wide_path(path);
  if (!wide) return fail(wide.error());
  if (CreateDirectoryW(wide->c_str(), nullptr)) return {};
  const DWORD code = GetLastError();
  if (code == ERROR_ALREADY_EXISTS && is_folder_on_volume(path, 0)) return {};
  return fail(os_io_error(static_cast<int>(code)));
}

Status remove_empty_folder(std::string_view path) {
  return remove_directory(path);
}

Status remove_listed_entry(std::string_view path, const DirEntry& entry) {
  // A link to a folder (a junction, a directory symbolic link) goes by the folder's call.
  if (entry.kind == EntryKind::Link && entry.directory_attribute) return remove_directory(path);
  return remove_file(path);
}

Result<DirEntry> listed_entry(std::string_view path) {
  return entry_without_following(path);
}

namespace {

// "Could not write <path> to the disk: " and the system's text: final where the flush itself
// failed (FlushError), a plain error where the entry could not even be opened for it.
Error not_written(std::string_view path, bool flush_failed) {
  const std::string prefix = "Could not write " + std::string(path) + " to the disk: ";
  return flush_failed ? flush_error_with_os_text(prefix) : error_with_os_text(prefix);
}

// NtFlushBuffersFileEx (Windows 8 and later; not in Wine 8) and its flag that writes a file's
// data and metadata out without making the device flush its cache, "NTFS, FAT, exFAT": the
// staged version then takes one device flush at its end, as Git's batch mode does, instead of
// one for every file.
using FlushBuffersFileEx = LONG(NTAPI*)(HANDLE, ULONG, void*, ULONG, void*);
constexpr ULONG kFlushNoSync = 0x2;
constexpr LONG kStatusInvalidParameter = static_cast<LONG>(0xC000000D);
constexpr LONG kStatusNotSupported = static_cast<LONG>(0xC00000BB);

template <class Function>
Function from_ntdll(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

// Looked up once, as the program starts (a function's static would take the runtime's locks,
// which the executable does without).
const FlushBuffersFileEx flush_without_sync =
    from_ntdll<FlushBuffersFileEx>("NtFlushBuffersFileEx");

// Writes the entry's data and metadata out: without the device's cache flush where the system
// and the volume offer that, else with it (FlushFileBuffers). Done where the volume keeps no
// flush for the entry (flush_not_supported), as a folder's flush.
bool write_out(HANDLE handle) {
  if (fails_simulated(DurableCall::Flush)) return flush_not_supported(last_os_error_code());
  if (const auto flush = flush_without_sync) {
    struct {
      LONG status;
      ULONG_PTR information;
    } io{};
    const LONG status = flush(handle, kFlushNoSync, nullptr, 0, &io);
    if (status >= 0) return true;
    // The flag itself refused: the plain flush below.
    if (status != kStatusInvalidParameter && status != kStatusNotSupported) {
      const DWORD code = RtlNtStatusToDosError(status);
      SetLastError(code);
      return flush_not_supported(static_cast<int>(code));
    }
  }
  return FlushFileBuffers(handle) != 0 || flush_not_supported(static_cast<int>(GetLastError()));
}

DWORD access_for(OpenFor purpose) {
  // For a folder, FILE_WRITE_DATA and FILE_APPEND_DATA are FILE_ADD_FILE and
  // FILE_ADD_SUBDIRECTORY, which its flush takes.
  constexpr DWORD kWriting = DELETE | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES;
  return purpose == OpenFor::Looking ? FILE_READ_ATTRIBUTES : kWriting;
}

DWORD sharing_for(OpenFor purpose) {
  constexpr DWORD kAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  switch (purpose) {
    case OpenFor::Looking:
    case OpenFor::Moving:
      return kAll;
    case OpenFor::Holding:
      return FILE_SHARE_READ;
    case OpenFor::Alone:
      return 0;
  }
  return 0;
}

}  // namespace

// Makes the hold of an entry that open_entry opened for its move.
struct EntryOpening {
  static MoveHandle hold(Handle handle, std::string path) {
    return MoveHandle(std::move(handle), std::move(path));
  }
};

Result<OpenedEntry> open_entry(std::string_view path, OpenFor purpose, EntryIdentity::Basis basis,
                               Flush write_out_entry) {
  const bool numbers_last = basis == EntryIdentity::Basis::Number;
  auto wide = win32::wide_path(path);
  if (!wide) return fail_other("Failed to create file handle: the path is not valid text");
  const DWORD access = access_for(purpose);
  const auto open = [&] {
    return win32::UniqueHandle(
        CreateFileW(wide->c_str(), access, sharing_for(purpose), nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  };
  win32::UniqueHandle handle = open();
  // A read-only file refuses write access: its attribute is cleared for the open and set again
  // at once, and the handle keeps what it was given.
  if (!handle.valid() && GetLastError() == ERROR_ACCESS_DENIED && access != FILE_READ_ATTRIBUTES &&
      win32::set_read_only(*wide, false) == win32::AttributeChange::Made) {
    handle = open();
    const DWORD code = GetLastError();
    win32::set_read_only(*wide, true);
    SetLastError(code);
  }
  // Named, unlike the old files' opens, which the log's "Get file handle: " line names.
  const std::string prefix = "Failed to create file handle: " + std::string(path) + ": ";
  if (!handle.valid()) return fail(error_with_os_text(prefix));
  // The basic and standard information: the full query asks the volume too, which Wine answers
  // slowly, and only a volume whose numbers last needs it.
  FILE_BASIC_INFO basic{};
  FILE_STANDARD_INFO standard{};
  if (!GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof basic) ||
      !GetFileInformationByHandleEx(handle.get(), FileStandardInfo, &standard, sizeof standard)) {
    return fail(prefixed(prefix, last_os_io_error()));
  }
  OpenedEntry entry;
  entry.kind =
      (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::Directory : EntryKind::File;
  entry.size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
  entry.modified = static_cast<uint64_t>(basic.LastWriteTime.QuadPart);
  entry.links = standard.NumberOfLinks;
  BY_HANDLE_FILE_INFORMATION info{};
  if ((numbers_last || entry.links >= 2) && !GetFileInformationByHandle(handle.get(), &info)) {
    return fail(prefixed(prefix, last_os_io_error()));
  }
  if (const FileIdentity number = identity_of(info); entry.links >= 2 && names_one_file(number)) {
    entry.linked_number = number;
  }
  if (numbers_last) {
    auto identity = number_identity(handle.get(), info, path, FolderTraits::KindOnly);
    if (!identity) return fail(identity.error());
    entry.identity = *identity;
  } else {
    entry.identity = {
        EntryIdentity::Basis::Traits,
        {static_cast<uint64_t>(entry.kind), entry.kind == EntryKind::Directory ? 0 : entry.size,
         entry.kind == EntryKind::Directory ? 0 : entry.modified, 0}};
  }
  if (write_out_entry != Flush::None && !write_out(handle.get()))
    return fail(not_written(path, true));
  if (purpose == OpenFor::Holding) {
    entry.hold = EntryOpening::hold(std::move(handle), std::string(path));
  }
  return entry;
}

bool entries_written_one_by_one(std::string_view) {
  return true;
}

Status write_to_device(std::string_view path) {
  auto flushed = flush_directory(path);
  if (flushed) return {};
  const Error& error = flushed.error();
  return fail(Error(error.kind() == FlushError ? FlushError : OtherError,
                    "Could not write " + std::string(path) + " to the disk: " + error.message(),
                    error.os_code()));
}

bool opens_stop_renames() {
  return true;
}

Result<std::string> temp_directory() {
  wchar_t buffer[MAX_PATH + 2] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 2, buffer);
  if (length == 0 || length > MAX_PATH + 1) return fail(last_os_io_error());
  auto text = win32::from_wide(std::wstring_view(buffer, length));
  if (!text) return fail(os_io_error(ERROR_INVALID_NAME));
  return text;
}

}  // namespace vellicor
