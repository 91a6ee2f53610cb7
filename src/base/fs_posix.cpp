#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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
  return FileMetadata{S_ISDIR(info.st_mode)};
}

Result<std::vector<DirEntry>> list_directory(std::string_view path) {
  const std::string terminated(path);
  DirStream dir(opendir(terminated.c_str()));
  if (!dir.get()) return fail(last_os_io_error());
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
