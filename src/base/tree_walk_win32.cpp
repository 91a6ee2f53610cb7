// The walk of a tree that an update deletes, by handle: every folder is opened through the
// handle of the folder above it (NtCreateFile with the parent as its root directory), never
// through a reparse point (FILE_OPEN_REPARSE_POINT opens a junction or a symbolic link itself,
// which is then refused), and listed through its own handle (FileIdBothDirectoryInfo). Entries
// are removed through handles opened the same way, and each handle is asked what it holds before
// anything goes: its kind (attributes and reparse tag), and its path on the volume, which must be
// its folder's path and its own name. Wine shows a Unix symbolic link as a folder or a file
// without a reparse tag and opens what it leads to; the handle's path then names the target
// (measured under Wine 8: a link to another folder opens with that folder's path).

#include "base/simulated_failure.hpp"
#include "base/win32.hpp"
// After windows.h.
#include <winternl.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/fs.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"
#include "base/tree_removal.hpp"
#include "base/tree_walk.hpp"
#include "base/tree_walk_chain.hpp"
#include "base/tree_walk_win32.hpp"

namespace vellicor {

// The top of a walk and the folders opened last below it, as on POSIX: only the chain from the
// top down to the folder opened last stays open, and a folder of the chain is used again only
// while its name in the folder above still leads to it. Every handle lets others read, write and
// delete, as Explorer's do: the walk's own removals, and a removal of the top by its path, go
// through while it is open.
class WalkTop {
 public:
  struct Opened {
    std::shared_ptr<const Handle> handle;
    std::wstring name;  // its path on its volume, as the system gives it (FileNameInfo)
    FileIdentity identity;
  };
  std::string path;
  // chain[0] the top, chain[i] the folder names[i - 1] of chain[i - 1].
  std::vector<Opened> chain;
  std::vector<std::string> names;
};

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kOpenOptions =
    FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_OPEN_REPARSE_POINT;
// NTSTATUS values (ntstatus.h) that say what is at a name rather than that the open failed.
constexpr NTSTATUS kStatusNotADirectory = static_cast<NTSTATUS>(0xC0000103);
constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BA);

HANDLE native(const Handle& handle) {
  return reinterpret_cast<HANDLE>(handle.get());
}

Error status_error(NTSTATUS status) {
  return os_io_error(static_cast<int>(RtlNtStatusToDosError(status)));
}

// Opens `name` in the folder `parent` by the folder's handle, never following a reparse point.
Result<win32::UniqueHandle> open_below(HANDLE parent, std::string_view name, ACCESS_MASK access,
                                       ULONG share, ULONG options, NTSTATUS& status) {
  auto wide = win32::to_wide(name);
  if (!wide) return fail(os_io_error(ERROR_INVALID_NAME));
  UNICODE_STRING unicode{};
  unicode.Buffer = wide->data();
  unicode.Length = unicode.MaximumLength = static_cast<USHORT>(wide->size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes{};
  // Case-insensitive as every Win32 open is; a case-sensitive folder still finds its names.
  InitializeObjectAttributes(&attributes, &unicode, OBJ_CASE_INSENSITIVE, parent, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  status = NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, 0, share,
                        FILE_OPEN, options | kOpenOptions, nullptr, 0);
  if (status < 0) return fail(status_error(status));
  return win32::UniqueHandle(handle);
}

// The handle's path on its volume (without the volume), as the system names what it holds.
Result<std::wstring> name_on_volume(HANDLE handle) {
  std::vector<char> buffer(sizeof(FILE_NAME_INFO) + 1024 * sizeof(wchar_t));
  for (;;) {
    if (GetFileInformationByHandleEx(handle, FileNameInfo, buffer.data(),
                                     static_cast<DWORD>(buffer.size()))) {
      FILE_NAME_INFO info;
      std::memcpy(&info, buffer.data(), offsetof(FILE_NAME_INFO, FileName));
      const auto* units =
          reinterpret_cast<const wchar_t*>(buffer.data() + offsetof(FILE_NAME_INFO, FileName));
      return std::wstring(units, info.FileNameLength / sizeof(wchar_t));
    }
    if (GetLastError() != ERROR_MORE_DATA || buffer.size() > (1u << 17)) {
      return fail(last_os_io_error());
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::wstring name_below(const std::wstring& folder, std::string_view name) {
  std::wstring joined = folder;
  if (joined.empty() || joined.back() != L'\\') joined += L'\\';
  joined += win32::to_wide(name).value_or(L"");
  return joined;
}

struct Held {
  EntryKind kind = EntryKind::File;
  uint32_t attributes = 0;
  FileIdentity identity;
};

// What the handle holds: its kind as a listing would show it, and its identity.
Result<Held> held_by(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) ||
      !GetFileInformationByHandle(handle, &info)) {
    return fail(last_os_io_error());
  }
  return Held{
      entry_kind_from_attributes(tag.FileAttributes, tag.ReparseTag),
      tag.FileAttributes,
      {info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow}};
}

// Refuses a handle that leads elsewhere than `expected`, the path on the volume that the walk
// went by: what a Unix link under Wine opens. `path` names the entry in the error.
Status leads_where_walked(HANDLE handle, const std::wstring& expected, const std::string& path) {
  auto name = name_on_volume(handle);
  if (!name) return fail(name.error());
  if (*name == expected) return {};
  return fail(Error(EntryChangedError, path + " is a link to " +
                                           win32::from_wide(*name).value_or("another place") +
                                           ": the update deletes nothing through a link"));
}

// The kind the walk expected at `path` against what the handle holds.
Status kind_as_listed(EntryKind expected, const Held& held, const std::string& path) {
  if (held.kind == expected) return {};
  if (held.kind == EntryKind::Link) return fail(entry_changed_error(path, "it is a link now"));
  if (expected == EntryKind::Directory) {
    return fail(entry_changed_error(path, "it is no longer a folder"));
  }
  return fail(entry_changed_error(path, "it is a folder now"));
}

// Opens `name` in the folder `parent`, whose path on the volume is `parent_name`, as the walk
// listed it: a `kind` (a reparse point opened itself), and where its handle leads to the
// parent's path and its own name. `path` names it in the errors.
Result<std::pair<win32::UniqueHandle, Held>> open_as_listed(
    HANDLE parent, const std::wstring& parent_name, std::string_view name, EntryKind kind,
    ACCESS_MASK access, ULONG share, ULONG options, const std::string& path) {
  NTSTATUS status = 0;
  auto handle = open_below(parent, name, access | FILE_READ_ATTRIBUTES, share, options, status);
  if (!handle) {
    if (status == kStatusNotADirectory) {
      return fail(entry_changed_error(path, "it is no longer a folder"));
    }
    if (status == kStatusFileIsADirectory) {
      return fail(entry_changed_error(path, "it is a folder now"));
    }
    return fail(handle.error());
  }
  auto held = held_by(handle->get());
  if (!held) return fail(held.error());
  if (auto as_listed = kind_as_listed(kind, *held, path); !as_listed) {
    return fail(as_listed.error());
  }
  if (auto where = leads_where_walked(handle->get(), name_below(parent_name, name), path); !where) {
    return fail(where.error());
  }
  return std::pair{std::move(*handle), *held};
}

// Opens the folder `name` below `above` for its listing, as the walk goes.
Result<WalkTop::Opened> open_folder_below(const WalkTop::Opened& above, std::string_view name,
                                          const std::string& path) {
  auto opened = open_as_listed(native(*above.handle), above.name, name, EntryKind::Directory,
                               FILE_LIST_DIRECTORY, kShareAll, FILE_DIRECTORY_FILE, path);
  if (!opened) return fail(opened.error());
  return WalkTop::Opened{std::make_shared<const win32::UniqueHandle>(std::move(opened->first)),
                         name_below(above.name, name), opened->second.identity};
}

// Whether the folder chain[depth] (not the top) of `top` is still where the walk opened it.
bool still_in_place(const WalkTop& top, size_t depth) {
  NTSTATUS status = 0;
  auto now = open_below(native(*top.chain[depth - 1].handle), top.names[depth - 1],
                        FILE_READ_ATTRIBUTES, kShareAll, 0, status);
  if (!now) return false;
  auto held = held_by(now->get());
  return held && held->kind == EntryKind::Directory && held->identity == top.chain[depth].identity;
}

DirEntry listed(const FILE_ID_BOTH_DIR_INFO& info, std::wstring_view name) {
  DirEntry entry;
  if (auto text = win32::from_wide(name)) entry.name = std::move(*text);
  // A reparse point's tag is where the extended attributes' size is otherwise (as FindFirstFile
  // reads it).
  const uint32_t tag = (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? info.EaSize : 0;
  entry.kind = entry_kind_from_attributes(info.FileAttributes, tag);
  entry.directory_attribute = (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return entry;
}

bool set_delete_flag(HANDLE handle, DurableCall call) {
  if (fails_simulated(call)) return false;
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof disposition) != 0;
}

}  // namespace

Result<win32::UniqueHandle> open_listed_entry(const WalkedFolder& folder, std::string_view name,
                                              EntryKind kind, ACCESS_MASK access, ULONG share,
                                              ULONG options) {
  const FolderPlace& place = *folder.place();
  std::wstring folder_name = place.top->chain.front().name;
  for (const auto& below : place.names)
    folder_name = name_below(folder_name, below);
  auto opened = open_as_listed(reinterpret_cast<HANDLE>(folder.native()), folder_name, name, kind,
                               access, share, options, join_path(folder.path(), name));
  if (!opened) return fail(opened.error());
  return std::move(opened->first);
}

Result<WalkedFolder> open_walk_top(std::string_view path) {
  auto top = std::make_shared<WalkTop>();
  top->path = std::string(path);
  const auto folder = parent_path(path);
  const auto name = path_file_name(path);
  // A volume's root is never a tree that an update deletes.
  if (!folder || !name) return fail(os_io_error(ERROR_DIRECTORY));
  auto wide = win32::wide_path(*folder);
  if (!wide) return fail(wide.error());
  // The folder above the top by its path, as the caller names it; the top is opened through it
  // as every folder of the walk, and refused where it is a reparse point, no folder, or (a Unix
  // link under Wine) leads elsewhere.
  win32::UniqueHandle above(CreateFileW(wide->c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!above.valid()) return fail(last_os_io_error());
  auto above_name = name_on_volume(above.get());
  if (!above_name) return fail(above_name.error());
  auto opened = open_folder_below(
      {std::make_shared<const win32::UniqueHandle>(std::move(above)), std::move(*above_name), {}},
      *name, top->path);
  if (!opened) return fail(opened.error());
  top->chain.push_back(std::move(*opened));
  auto place = std::make_shared<FolderPlace>(FolderPlace{top, {}, top->path});
  return WalkedFolder(std::move(place), top->chain.back().handle);
}

Result<WalkedFolder> open_walked_folder(const std::shared_ptr<const FolderPlace>& place) {
  return open_through_chain(place, *place->top, still_in_place, open_folder_below);
}

Result<std::vector<DirEntry>> list_walked_folder(const WalkedFolder& folder) {
  const HANDLE handle = reinterpret_cast<HANDLE>(folder.native());
  std::vector<DirEntry> entries;
  // Aligned for the records, each of which starts on an 8-byte boundary.
  std::vector<uint64_t> buffer(64 * 1024 / sizeof(uint64_t));
  const auto* bytes = reinterpret_cast<const char*>(buffer.data());
  for (FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;;
       kind = FileIdBothDirectoryInfo) {
    if (!GetFileInformationByHandleEx(handle, kind, buffer.data(),
                                      static_cast<DWORD>(buffer.size() * sizeof(uint64_t)))) {
      if (GetLastError() == ERROR_NO_MORE_FILES) return entries;
      return fail(last_os_io_error());
    }
    for (size_t offset = 0;;) {
      const auto& info = *reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes + offset);
      const std::wstring_view name(info.FileName, info.FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") entries.push_back(listed(info, name));
      if (info.NextEntryOffset == 0) break;
      offset += info.NextEntryOffset;
    }
  }
}

Status remove_walked_entry(const WalkedFolder& folder, const DirEntry& entry) {
  if (!entry.name) return fail_other("Could not get entry name");
  // A link to a folder (a junction, a directory symbolic link) is a folder to the system.
  const ULONG options = entry.directory_attribute ? 0 : FILE_NON_DIRECTORY_FILE;
  auto handle = open_listed_entry(folder, *entry.name, entry.kind, DELETE, kShareAll, options);
  if (!handle) return fail(handle.error());
  if (!set_delete_flag(handle->get(), DurableCall::Unlink)) return fail(last_os_io_error());
  return handle->close();
}

Status remove_walked_folder(const std::shared_ptr<const FolderPlace>& place) {
  if (place->names.empty()) {
    // The top by its path, once the walk has let go of it.
    place->top->chain.clear();
    place->top->names.clear();
    return remove_empty_folder(place->path);
  }
  auto above = std::make_shared<FolderPlace>(*place);
  above->names.pop_back();
  above->path = parent_path(place->path).value_or(place->top->path);
  auto parent = open_walked_folder(above);
  if (!parent) return fail(parent.error());
  const std::string& name = place->names.back();
  // Windows refuses to remove a read-only folder (STATUS_CANNOT_DELETE), and Explorer marks
  // customised folders so: the attribute is cleared through the same handle just before, and set
  // again when the removal fails. (Wine does not enforce it on folders.)
  // Attribute access too where the system grants it (an ACL may grant the deletion alone).
  auto handle = open_listed_entry(*parent, name, EntryKind::Directory,
                                  DELETE | FILE_WRITE_ATTRIBUTES, kShareAll, FILE_DIRECTORY_FILE);
  if (!handle && handle.error().os_code() == ERROR_ACCESS_DENIED) {
    handle = open_listed_entry(*parent, name, EntryKind::Directory, DELETE, kShareAll,
                               FILE_DIRECTORY_FILE);
  }
  if (!handle) return fail(handle.error());
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(handle->get(), FileBasicInfo, &basic, sizeof basic)) {
    return fail(last_os_io_error());
  }
  const bool read_only = (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  const auto set_attributes = [&](DWORD attributes) {
    FILE_BASIC_INFO change{};  // times of 0 stay as they are
    change.FileAttributes = attributes;
    return SetFileInformationByHandle(handle->get(), FileBasicInfo, &change, sizeof change) != 0;
  };
  if (read_only) set_attributes(basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY);
  if (!set_delete_flag(handle->get(), DurableCall::RemoveFolder)) {
    const DWORD code = GetLastError();
    if (read_only) set_attributes(basic.FileAttributes);
    return fail(os_io_error(static_cast<int>(code)));
  }
  return handle->close();
}

}  // namespace vellicor
