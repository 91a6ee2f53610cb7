#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

#include "base/file.hpp"
#include "base/fs.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"
#include "base/utf.hpp"

namespace vellicor {
namespace {

// Closes a directory stream on every path.
class DirStream {
 public:
  explicit DirStream(DIR* dir) : dir_(dir) {}
  DirStream(const DirStream&) = delete;
  DirStream& operator=(const DirStream&) = delete;
  ~DirStream() {
    if (dir_) closedir(dir_);
  }
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

Result<struct stat> lstat_path(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return fail(last_os_io_error());
  return info;
}

// The mount that holds a file: the mount id where the kernel reports one (Linux 5.8 and later),
// else the device, which at least tells file systems apart.
std::optional<uint64_t> mount_of(int dirfd, const char* name, int flags) {
  struct statx info {};
  if (::statx(dirfd, name, flags | AT_NO_AUTOMOUNT, STATX_MNT_ID, &info) != 0) return std::nullopt;
  if (info.stx_mask & STATX_MNT_ID) return info.stx_mnt_id;
  return (uint64_t{info.stx_dev_major} << 32) | info.stx_dev_minor;
}

EntryKind kind_of(mode_t mode) {
  if (S_ISLNK(mode)) return EntryKind::Link;
  if (S_ISDIR(mode)) return EntryKind::Directory;
  return EntryKind::File;
}

Status remove_tree(const std::string& path) {
  auto entries = list_directory(path);
  if (!entries) return fail(entries.error());
  for (const auto& entry : *entries) {
    if (!entry.name) return fail_other("Could not get entry name");
    const std::string child = join_path(path, *entry.name);
    const Status removed =
        entry.kind == EntryKind::Directory ? remove_tree(child) : remove_file(child);
    if (!removed) return removed;
  }
  if (::rmdir(path.c_str()) != 0) return fail(last_os_io_error());
  return {};
}

}  // namespace

Result<FileMetadata> metadata(std::string_view path) {
  const std::string terminated(path);
  struct stat info {};
  if (::stat(terminated.c_str(), &info) != 0) return fail(last_os_io_error());
  const auto volume = mount_of(AT_FDCWD, terminated.c_str(), 0);
  if (!volume) return fail(last_os_io_error());
  return FileMetadata{S_ISDIR(info.st_mode), *volume,
                      FileIdentity{static_cast<uint64_t>(info.st_dev), info.st_ino}};
}

Result<FileIdentity> entry_identity(std::string_view path) {
  auto info = lstat_path(std::string(path));
  if (!info) return fail(info.error());
  return FileIdentity{static_cast<uint64_t>(info->st_dev), static_cast<uint64_t>(info->st_ino)};
}

bool is_regular_file(std::string_view path) {
  const std::string terminated(path);
  struct stat info {};
  return ::lstat(terminated.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

Result<std::string> resolve_path(std::string_view path) {
  const std::string terminated(path);
  char* resolved = ::realpath(terminated.c_str(), nullptr);
  if (resolved == nullptr) return fail(last_os_io_error());
  std::string out(resolved);
  std::free(resolved);
  return out;
}

Result<std::vector<DirEntry>> list_directory(std::string_view path) {
  const std::string terminated(path);
  DirStream dir(opendir(terminated.c_str()));
  if (!dir.get()) return fail(last_os_io_error());
  const int fd = dirfd(dir.get());
  const auto own_mount = mount_of(fd, "", AT_EMPTY_PATH);
  if (!own_mount) return fail(last_os_io_error());
  std::vector<DirEntry> entries;
  for (;;) {
    errno = 0;
    const dirent* raw = readdir(dir.get());
    if (raw == nullptr) {
      if (errno != 0) return fail(last_os_io_error());
      return entries;
    }
    const std::string name = raw->d_name;
    if (name == "." || name == "..") continue;
    DirEntry entry;
    if (raw->d_type == DT_LNK) {
      entry.kind = EntryKind::Link;
    } else if (raw->d_type == DT_DIR) {
      entry.kind = EntryKind::Directory;
    } else if (raw->d_type == DT_UNKNOWN) {
      auto info = lstat_path(join_path(path, name));
      if (!info) return fail(info.error());
      entry.kind = kind_of(info->st_mode);
    }
    entry.directory_attribute = entry.kind == EntryKind::Directory;
    if (entry.directory_attribute && mount_of(fd, raw->d_name, AT_SYMLINK_NOFOLLOW) != own_mount) {
      // Another mount: its files are not the installation's, whatever path leads there.
      entry.kind = EntryKind::Link;
      entry.mount_point = true;
    }
    if (is_valid_utf8(name)) entry.name = name;
    entries.push_back(std::move(entry));
  }
}

Status rename_replacing(std::string_view from, std::string_view to) {
  const std::string source(from), target(to);
  auto info = lstat_path(source);
  if (!info) return fail(info.error());
  // rename() lets a directory replace an empty directory; like MoveFileExW, refuse to replace
  // anything with a directory.
  const unsigned flags = S_ISDIR(info->st_mode) ? RENAME_NOREPLACE : 0;
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), flags) != 0) {
    return fail(last_os_io_error());
  }
  return {};
}

Status remove_directory_tree(std::string_view path) {
  const std::string target(path);
  auto info = lstat_path(target);
  if (!info) return fail(info.error());
  if (S_ISLNK(info->st_mode)) return remove_file(target);
  return remove_tree(target);
}

Result<std::string> temp_directory() {
  const char* dir = std::getenv("TMPDIR");
  if (dir != nullptr && *dir != '\0') return std::string(dir);
  return std::string("/tmp");
}

}  // namespace vellicor
