#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "base/durability.hpp"
#include "base/entry_identity.hpp"
#include "base/file.hpp"
#include "base/fs.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"
#include "base/simulated_failure.hpp"
#include "base/tree_removal.hpp"
#include "base/tree_walk.hpp"
#include "base/tree_walk_chain.hpp"
#include "base/utf.hpp"
#include "base/volume.hpp"

namespace vellicor {
namespace {

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

// openat, tried again where a signal interrupted it.
int open_retrying(int dirfd, const char* name, int flags) {
  int fd;
  do {
    fd = ::openat(dirfd, name, flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The entries of the folder open for reading at `fd`, read from its start, without "." and "..":
// another mount is listed as a link (its files are not the folder's, whatever path leads there).
// Read straight from the descriptor (getdents64(2)): a walk lists each folder through the
// descriptor it keeps of it, with no stream and no second open. `mount`: the folder's, where the
// caller knows it.
Result<std::vector<DirEntry>> list_entries(int fd, std::optional<uint64_t> mount = std::nullopt) {
  const auto own_mount = mount ? mount : mount_of(fd, "", AT_EMPTY_PATH);
  if (!own_mount) return fail(last_os_io_error());
  if (::lseek(fd, 0, SEEK_SET) != 0) return fail(last_os_io_error());
  std::vector<DirEntry> entries;
  alignas(dirent64) char buffer[32768];
  for (;;) {
    ssize_t got;
    do {
      got = ::getdents64(fd, buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return fail(last_os_io_error());
    if (got == 0) return entries;
    for (ssize_t at = 0; at < got;) {
      const auto* raw = reinterpret_cast<const dirent64*>(buffer + at);
      at += raw->d_reclen;
      const std::string name = raw->d_name;
      if (name == "." || name == "..") continue;
      DirEntry entry;
      if (raw->d_type == DT_LNK) {
        entry.kind = EntryKind::Link;
      } else if (raw->d_type == DT_DIR) {
        entry.kind = EntryKind::Directory;
      } else if (raw->d_type == DT_UNKNOWN) {
        struct stat info {};
        if (::fstatat(fd, raw->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
          return fail(last_os_io_error());
        }
        entry.kind = kind_of(info.st_mode);
      }
      entry.directory_attribute = entry.kind == EntryKind::Directory;
      if (entry.directory_attribute &&
          mount_of(fd, raw->d_name, AT_SYMLINK_NOFOLLOW) != own_mount) {
        entry.kind = EntryKind::Link;
        entry.mount_point = true;
      }
      if (is_valid_utf8(name)) entry.name = name;
      entries.push_back(std::move(entry));
    }
  }
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

namespace {

constexpr unsigned long kFuseMagic = 0x65735546;

// What one sync reaches: the entry (fsync) or the whole file system that holds it (syncfs).
enum class SyncScope { Entry, FileSystem };

// fsync, or syncfs of the file system that holds the entry: 0 where it succeeded, and where the
// file system keeps no flush for the entry (flush_not_supported), as every flush here.
int sync_descriptor(int fd, SyncScope scope) {
  int result;
  do {
    result = scope == SyncScope::FileSystem
                 ? (fails_simulated(DurableCall::SyncFileSystem) ? -1 : ::syncfs(fd))
                 : (fails_simulated(DurableCall::Flush) ? -1 : ::fsync(fd));
  } while (result != 0 && errno == EINTR);
  if (result != 0 && flush_not_supported(errno)) return 0;
  return result;
}

// "Could not write <path> to the disk: " and the system's text: final where the sync itself
// failed (FlushError), a plain error where the entry could not even be opened for it.
Error not_written(const std::string& path, bool sync_failed) {
  const std::string prefix = "Could not write " + path + " to the disk: ";
  return sync_failed ? flush_error_with_os_text(prefix) : error_with_os_text(prefix);
}

bool on_fuse(const std::string& path) {
  struct statfs volume {};
  return ::statfs(path.c_str(), &volume) == 0 &&
         static_cast<unsigned long>(volume.f_type) == kFuseMagic;
}

}  // namespace

bool entries_written_one_by_one(std::string_view path) {
  // A FUSE daemon keeps its own buffers, which a sync of the file system does not reach.
  return on_fuse(std::string(path));
}

Status write_to_device(std::string_view path) {
  const std::string folder(path);
  const bool fuse = on_fuse(folder);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return fail(not_written(folder, false));
  const bool synced = sync_descriptor(fd, fuse ? SyncScope::Entry : SyncScope::FileSystem) == 0;
  const int code = errno;
  ::close(fd);
  if (synced) return {};
  errno = code;
  return fail(not_written(folder, true));
}

namespace {

// File systems whose inode numbers last for as long as the entry, across renames and mounts.
// FUSE is not among them (a file system of its own decides, and most number entries as they are
// looked up), nor FAT, exFAT and whatever this list does not know.
bool numbers_last(unsigned long type) {
  constexpr unsigned long kLasting[] = {
      0xEF53,      // ext2, ext3, ext4
      0x58465342,  // XFS
      0x9123683E,  // Btrfs
      0xF2F52010,  // F2FS
      0x2FC12FC1,  // ZFS
      0x3153464A,  // JFS
      0x52654973,  // ReiserFS
      0x01021994,  // tmpfs
      0x6969,      // NFS: the server's numbers
  };
  return std::find(std::begin(kLasting), std::end(kLasting), type) != std::end(kLasting);
}

// Errors of FS_IOC_GETVERSION that say the file system keeps no generation: an answer that
// lasts, unlike an open that fails for want of a descriptor or permission.
bool no_generation_kept(int code) {
  return code == ENOTTY || code == EOPNOTSUPP || code == EINVAL || code == ENOSYS;
}

Error unidentified(const std::string& path) {
  return error_with_os_text("Could not tell the identity of " + path + ": ");
}

// An entry as one open tells it: the look through it (statx of the open entry) gives its kind,
// number, birth time, size and time, and where the file system says so its attributes; for a
// file or folder a read-only open of the same inode its generation and, where the look could
// not, its attributes. Only files and folders are opened for reading: a link cannot be opened
// itself, and opening a device may act on it. The read-only open stays with the probe (closed
// when it goes) for what else the caller does with it.
struct Probe {
  struct statx info {};
  Handle fd;
  uint32_t generation = 0;
  std::optional<std::string_view> attribute;

  static Result<Probe> of(const std::string& path) {
    Probe probe;
    const std::string unidentified_prefix = "Could not tell the identity of " + path + ": ";
    // One open names the entry for every look that follows: its kind, number and times, its
    // generation and attributes are all read from the inode that this open found, whatever
    // takes the name meanwhile (two looks by path could mix two entries into one identity). An
    // O_PATH open opens nothing for real ("the file itself is not opened", open(2)), so that a
    // link, a device, a FIFO or a socket is only looked at.
    const Handle look(open_retrying(AT_FDCWD, path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!look.valid()) return fail(prefixed(unidentified_prefix, last_os_io_error()));
    const int look_fd = static_cast<int>(look.get());
    constexpr unsigned kWanted =
        STATX_TYPE | STATX_INO | STATX_BTIME | STATX_SIZE | STATX_MTIME | STATX_NLINK;
    if (::statx(look_fd, "", AT_EMPTY_PATH, kWanted, &probe.info) != 0) {
      return fail(prefixed(unidentified_prefix, last_os_io_error()));
    }
    constexpr uint64_t kForbidding = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
    const bool attributes_told = (probe.info.stx_attributes_mask & kForbidding) == kForbidding;
    if (attributes_told) probe.attribute = forbidding(probe.info.stx_attributes);
    if (!S_ISREG(probe.info.stx_mode) && !S_ISDIR(probe.info.stx_mode)) return probe;
    // The generation and the attributes take an ioctl, which an O_PATH descriptor refuses
    // (EBADF, open(2)): the same inode is opened for reading through the magic link of the first
    // open, which leads to the open file itself and not to its name (proc(5), /proc/pid/fd).
    // Without /proc (ENOENT) it is opened by its name again, and the check below refuses
    // another entry there.
    const std::string reopened_path = "/proc/self/fd/" + std::to_string(look_fd);
    int fd = open_retrying(AT_FDCWD, reopened_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
      fd = open_retrying(AT_FDCWD, path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }
    if (fd < 0) return fail(unidentified(path));
    probe.fd = Handle(fd);
    struct stat opened {};
    if (::fstat(fd, &opened) != 0) return fail(unidentified(path));
    if (opened.st_ino != probe.info.stx_ino ||
        opened.st_dev != makedev(probe.info.stx_dev_major, probe.info.stx_dev_minor)) {
      return fail_other(unidentified_prefix + "it was replaced while it was read");
    }
    // A generation that the file system keeps but that cannot be read now fails: the identity
    // would silently be another one.
    int generation = 0;
    if (::ioctl(fd, FS_IOC_GETVERSION, &generation) == 0) {
      probe.generation = static_cast<uint32_t>(generation);
    } else if (!no_generation_kept(errno)) {
      return fail(unidentified(path));
    }
    int flags = 0;
    if (!attributes_told && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      probe.attribute = forbidding((flags & FS_IMMUTABLE_FL ? STATX_ATTR_IMMUTABLE : 0) |
                                   (flags & FS_APPEND_FL ? STATX_ATTR_APPEND : 0));
    }
    return probe;
  }

  static std::optional<std::string_view> forbidding(uint64_t attributes) {
    if (attributes & STATX_ATTR_IMMUTABLE) return "it is immutable";
    if (attributes & STATX_ATTR_APPEND) return "it is append-only";
    return std::nullopt;
  }

  // The inode's generation (chosen afresh for every inode made, where the file system keeps
  // one) and birth time, folded into one number; 0 when neither is kept.
  uint64_t incarnation() const {
    uint64_t value = 0;
    if (info.stx_mask & STATX_BTIME) {
      value =
          static_cast<uint64_t>(info.stx_btime.tv_sec) * 1'000'000'000u + info.stx_btime.tv_nsec;
    }
    if (generation != 0) value = value * 0x100000001B3ull ^ generation;
    return value;
  }

  // No volume: Linux hands device numbers out as volumes are attached and mounted, so that the
  // same entry has another one after a reboot. The record compares entries of one installation,
  // whose update folder lies on the root's volume, by inode, generation and birth time.
  EntryIdentity number() const {
    return EntryIdentity{EntryIdentity::Basis::Number, {0, 0, info.stx_ino, incarnation()}};
  }
};

// Whether the volume that holds `folder` keeps its numbers, or the error of the question.
Result<bool> numbers_last_at(const std::string& folder) {
  struct statfs volume {};
  if (::statfs(folder.c_str(), &volume) != 0) return fail(last_os_io_error());
  return numbers_last(static_cast<unsigned long>(volume.f_type));
}

}  // namespace

Result<bool> numbers_last_at_folder(std::string_view path) {
  return numbers_last_at(std::string(path));
}

Result<bool> same_file(std::string_view a, std::string_view b) {
  auto first = lstat_path(std::string(a));
  if (!first) return fail(first.error());
  auto second = lstat_path(std::string(b));
  if (!second) return fail(second.error());
  return first->st_dev == second->st_dev && first->st_ino == second->st_ino;
}

bool numbers_last_on_volume(std::string_view path) {
  const auto lasting = numbers_last_at(std::string(path));
  return lasting && *lasting;
}

bool renames_ordered_on_volume(std::string_view path) {
  return numbers_last_on_volume(path);
}

bool folder_moves_known_on_volume(std::string_view path) {
  return numbers_last_on_volume(path);
}

Result<EntryIdentity> entry_identity(std::string_view path, FolderTraits folders) {
  const std::string terminated(path);
  const auto folder = parent_path(terminated);
  // Every part is read, or the identity is an error: one read through a call that failed
  // would be another identity, which the next run takes for another entry.
  auto lasting = numbers_last_at(folder ? *folder : terminated);
  if (!lasting)
    return fail(prefixed("Could not tell the identity of " + terminated + ": ", lasting.error()));
  if (!*lasting) return traits_identity(path, folders);
  auto probe = Probe::of(terminated);
  if (!probe) return fail(probe.error());
  return probe->number();
}

Result<OpenedEntry> open_entry(std::string_view path, OpenFor, EntryIdentity::Basis basis,
                               Flush write_out) {
  const std::string terminated(path);
  auto probe = Probe::of(terminated);
  if (!probe) return fail(probe.error());
  const struct statx& info = probe->info;
  OpenedEntry entry;
  entry.kind = kind_of(info.stx_mode);
  entry.size = info.stx_size;
  entry.modified =
      static_cast<uint64_t>(info.stx_mtime.tv_sec) * 1'000'000'000u + info.stx_mtime.tv_nsec;
  entry.links = info.stx_nlink;
  if (entry.links >= 2) {
    entry.linked_number =
        FileIdentity{makedev(info.stx_dev_major, info.stx_dev_minor), info.stx_ino};
  }
  entry.identity =
      basis == EntryIdentity::Basis::Number ? probe->number()
      : entry.kind == EntryKind::Directory
          ? EntryIdentity{EntryIdentity::Basis::Traits,
                          {static_cast<uint64_t>(entry.kind), 0, 0, 0}}
          : EntryIdentity{EntryIdentity::Basis::Traits,
                          {static_cast<uint64_t>(entry.kind), entry.size, entry.modified, 0}};
  entry.forbidding_attribute = probe->attribute;
  if (write_out != Flush::None && probe->fd.valid() &&
      sync_descriptor(static_cast<int>(probe->fd.get()), SyncScope::Entry) != 0) {
    return fail(not_written(terminated, true));
  }
  return entry;
}

Result<EntryTraits> entry_traits(std::string_view path) {
  auto info = lstat_path(std::string(path));
  if (!info) return fail(info.error());
  return EntryTraits{kind_of(info->st_mode), static_cast<uint64_t>(info->st_size),
                     static_cast<uint64_t>(info->st_mtim.tv_sec) * 1'000'000'000u +
                         static_cast<uint64_t>(info->st_mtim.tv_nsec)};
}

bool is_regular_file(std::string_view path) {
  const std::string terminated(path);
  struct stat info {};
  return ::lstat(terminated.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool is_folder_on_volume(std::string_view path, uint64_t volume) {
  const std::string terminated(path);
  struct stat info {};
  return ::lstat(terminated.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         mount_of(AT_FDCWD, terminated.c_str(), AT_SYMLINK_NOFOLLOW) == volume;
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
  const Handle folder(
      open_retrying(AT_FDCWD, terminated.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) return fail(last_os_io_error());
  return list_entries(static_cast<int>(folder.get()));
}

Status rename_replacing(std::string_view from, std::string_view to) {
  const std::string source(from), target(to);
  auto info = lstat_path(source);
  if (!info) return fail(info.error());
  // rename() lets a directory replace an empty directory; like MoveFileExW, refuse to replace
  // anything with a directory.
  const unsigned flags = S_ISDIR(info->st_mode) ? RENAME_NOREPLACE : 0;
  if (fails_simulated(DurableCall::Rename)) return fail(last_os_io_error());
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), flags) == 0) return {};
  const int code = errno;
  if (flags == 0 || (code != EINVAL && code != ENOSYS && code != EOPNOTSUPP)) {
    return fail(os_io_error(code));
  }
  // No rename that refuses to replace here: then nothing may be in the way.
  if (auto in_the_way = lstat_path(target); in_the_way || !is_not_found(in_the_way.error())) {
    return fail(in_the_way ? os_io_error(EEXIST) : in_the_way.error());
  }
  if (::rename(source.c_str(), target.c_str()) != 0) return fail(last_os_io_error());
  return {};
}

Status rename_durably(std::string_view from, std::string_view to) {
  if (auto renamed = rename_replacing(from, to); !renamed) return renamed;
  const auto folder = parent_path(to);
  return folder ? flush_directory(*folder) : Status{};
}

Status make_directory(std::string_view path) {
  const std::string terminated(path);
  if (::mkdir(terminated.c_str(), 0777) == 0) return {};
  const int code = errno;
  struct stat info {};
  if (code == EEXIST && ::lstat(terminated.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return {};
  return fail(os_io_error(code));
}

Status remove_empty_folder(std::string_view path) {
  const std::string terminated(path);
  if (fails_simulated(DurableCall::RemoveFolder) || ::rmdir(terminated.c_str()) != 0) {
    return fail(last_os_io_error());
  }
  return {};
}

Status remove_listed_entry(std::string_view path, const DirEntry&) {
  return remove_file(path);
}

Result<DirEntry> listed_entry(std::string_view path) {
  const std::string terminated(path);
  auto info = lstat_path(terminated);
  if (!info) return fail(info.error());
  DirEntry entry;
  if (const auto name = path_file_name(terminated); name && is_valid_utf8(*name))
    entry.name = *name;
  entry.kind = kind_of(info->st_mode);
  entry.directory_attribute = entry.kind == EntryKind::Directory;
  if (entry.directory_attribute && mount_of(AT_FDCWD, terminated.c_str(), AT_SYMLINK_NOFOLLOW) !=
                                       mount_of(AT_FDCWD, (terminated + "/..").c_str(), 0)) {
    entry.kind = EntryKind::Link;
    entry.mount_point = true;
  }
  return entry;
}

bool opens_stop_renames() {
  return false;
}

// The top of a walk and the folders opened last below it. Only the chain from the top down to
// the folder opened last stays open: breadth-first, the next folder is mostly a sibling of the
// last (one open, through their parent), and a walk holds at most depth + 1 descriptors of its
// own, however many folders the tree has; each folder is listed through its descriptor. The old
// version's held files stay open by design, one descriptor each; their folders are not kept
// open for them. A folder is opened again from the top when it is needed again (a held file's
// removal, an emptied folder's): a DeleteHandle with a descriptor of its folder would double
// the descriptors of the held files, and would still reach the folder after another program
// moved it out of the tree or put a link in its place. For the same reason a folder of the chain
// is used again only while its name, in the folder above it, still leads to it: one fstatat for
// each folder on the way below the top, an open where the name does not. The top itself, the
// installation's root or a folder whose removal was asked, is held for the walk's life and
// trusted as an open folder, as rm_rf_children trusts the descriptor it is given: looking it up
// by its path again for every file would cost a whole path's lookup each. The removals then
// cost as many fstatat as the folders are deep below the top, and no descriptor more than the
// walk took.
class WalkTop {
 public:
  struct Opened {
    std::shared_ptr<const Handle> handle;
    dev_t device = 0;
    ino_t inode = 0;
    uint64_t mount = 0;  // as mount_of tells it
  };
  std::string path;
  uint64_t mount = 0;  // mount_of the top: every folder of the walk is on it
  // chain[0] the top, chain[i] the folder names[i - 1] of chain[i - 1].
  std::vector<Opened> chain;
  std::vector<std::string> names;
};

namespace {

// Opens the folder `name` of the open folder `dirfd` (AT_FDCWD: the path `name`), never through
// a link: O_NOFOLLOW fails on a link, O_DIRECTORY on anything else but a folder (open(2)), and a
// folder on another file system than `mount` is refused too. `path` names it in the errors; a
// top (no `mount` yet) that is no folder and no link fails with the system's error. Opened for
// reading, which its listing takes (the walk lists every folder it opens).
Result<WalkTop::Opened> open_folder_at(int dirfd, const std::string& name, const std::string& path,
                                       std::optional<uint64_t> mount) {
  const int fd =
      open_retrying(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int code = errno;
    struct stat now {};
    if ((code == ELOOP || code == ENOTDIR) &&
        ::fstatat(dirfd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISLNK(now.st_mode)) return fail(entry_changed_error(path, "it is a link now"));
      if (mount) return fail(entry_changed_error(path, "it is no longer a folder"));
    }
    return fail(os_io_error(code));
  }
  auto handle = std::make_shared<const Handle>(fd);
  // One look for its mount (the mount id where the kernel reports one, as mount_of) and its
  // number.
  struct statx info {};
  if (::statx(fd, "", AT_EMPTY_PATH | AT_NO_AUTOMOUNT, STATX_INO | STATX_MNT_ID, &info) != 0) {
    return fail(last_os_io_error());
  }
  const dev_t device = makedev(info.stx_dev_major, info.stx_dev_minor);
  const uint64_t own = info.stx_mask & STATX_MNT_ID
                           ? info.stx_mnt_id
                           : (uint64_t{info.stx_dev_major} << 32) | info.stx_dev_minor;
  if (mount && own != *mount) {
    return fail(entry_changed_error(path, "another file system is mounted on it now"));
  }
  return WalkTop::Opened{std::move(handle), device, static_cast<ino_t>(info.stx_ino), own};
}

// Whether the folder chain[depth] (not the top) of `top` is still where the walk opened it.
bool still_in_place(const WalkTop& top, size_t depth) {
  struct stat now {};
  const WalkTop::Opened& opened = top.chain[depth];
  return ::fstatat(static_cast<int>(top.chain[depth - 1].handle->get()),
                   top.names[depth - 1].c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISDIR(now.st_mode) && now.st_dev == opened.device && now.st_ino == opened.inode;
}

}  // namespace

Result<WalkedFolder> open_walk_top(std::string_view path) {
  const std::string terminated(path);
  auto opened = open_folder_at(AT_FDCWD, terminated, terminated, std::nullopt);
  if (!opened) return fail(opened.error());
  auto top = std::make_shared<WalkTop>();
  top->path = terminated;
  top->mount = opened->mount;
  top->chain.push_back(std::move(*opened));
  auto place = std::make_shared<FolderPlace>(FolderPlace{top, {}, terminated});
  return WalkedFolder(std::move(place), top->chain.back().handle);
}

Result<WalkedFolder> open_walked_folder(const std::shared_ptr<const FolderPlace>& place) {
  WalkTop& top = *place->top;
  return open_through_chain(
      place, top, still_in_place,
      [&](const WalkTop::Opened& above, const std::string& name, const std::string& path) {
        return open_folder_at(static_cast<int>(above.handle->get()), name, path, top.mount);
      });
}

Result<std::vector<DirEntry>> list_walked_folder(const WalkedFolder& folder) {
  // Every folder of the walk is on its top's file system (open_folder_at).
  return list_entries(static_cast<int>(folder.native()), folder.place()->top->mount);
}

Status remove_walked_entry(const WalkedFolder& folder, const DirEntry& entry) {
  if (!entry.name) return fail_other("Could not get entry name");
  if (fails_simulated(DurableCall::Unlink) ||
      ::unlinkat(static_cast<int>(folder.native()), entry.name->c_str(), 0) != 0) {
    // Listed as a file or a link, a folder now (unlink(2): EISDIR on Linux).
    if (errno == EISDIR) {
      return fail(entry_changed_error(join_path(folder.path(), *entry.name), "it is a folder now"));
    }
    return fail(last_os_io_error());
  }
  return {};
}

Status remove_walked_folder(const std::shared_ptr<const FolderPlace>& place) {
  if (place->names.empty()) return remove_empty_folder(place->path);
  auto above = std::make_shared<FolderPlace>(*place);
  above->names.pop_back();
  above->path = parent_path(place->path).value_or(place->top->path);
  auto parent = open_walked_folder(above);
  if (!parent) return fail(parent.error());
  const int dirfd = static_cast<int>(parent->native());
  const char* name = place->names.back().c_str();
  if (!fails_simulated(DurableCall::RemoveFolder) && ::unlinkat(dirfd, name, AT_REMOVEDIR) == 0) {
    return {};
  }
  // A link put in its place since it was emptied stays, refused by its name (its removal as a
  // folder fails with ENOTDIR, which names nothing).
  const int code = errno;
  struct stat now {};
  if (code == ENOTDIR && ::fstatat(dirfd, name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(now.st_mode)) {
    return fail(entry_changed_error(place->path, "it is a link now"));
  }
  return fail(os_io_error(code));
}

Result<std::string> temp_directory() {
  const char* dir = std::getenv("TMPDIR");
  if (dir != nullptr && *dir != '\0') return std::string(dir);
  return std::string("/tmp");
}

}  // namespace vellicor
