#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <optional>
#include <string>

#include "base/delete_handle.hpp"
#include "base/fs.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"
#include "base/simulated_failure.hpp"
#include "base/tree_removal.hpp"
#include "base/tree_walk.hpp"

namespace vellicor {

namespace {

// A write lease is refused while any other open of the file exists, which is the analogue of a
// sharing violation. While it is held, another process's open waits and the kernel signals the
// holder with SIGIO, whose default action would end this process: ignore it, once, before the
// first handle.
void ignore_lease_breaks() {
  static std::once_flag once;
  std::call_once(once, [] { signal(SIGIO, SIG_IGN); });
}

// The attribute that forbids deleting the entry, or what a folder holds: "immutable",
// "append-only", or nothing (none, or none that can be read here).
std::optional<std::string_view> forbidding_attribute(int fd) {
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) return std::nullopt;
  if (flags & FS_IMMUTABLE_FL) return "it is immutable";
  if (flags & FS_APPEND_FL) return "it is append-only";
  return std::nullopt;
}

// The attributes that forbid a deletion as statx tells them, or kAttributesUnknown where the
// file system does not say.
constexpr uint64_t kForbidding = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
constexpr uint64_t kAttributesUnknown = UINT64_MAX;

std::optional<std::string_view> forbidding_attribute(uint64_t attributes) {
  if (attributes & STATX_ATTR_IMMUTABLE) return "it is immutable";
  if (attributes & STATX_ATTR_APPEND) return "it is append-only";
  return std::nullopt;
}

Error error_with_errno(int code, const char* prefix) {
  errno = code;
  return error_with_os_text(prefix);
}

// Whether this process may take a lease on any file (CAP_LEASE), not only on its own.
bool may_lease_any_file() {
  static const bool may = [] {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    return ((data[CAP_LEASE / 32].effective >> (CAP_LEASE % 32)) & 1) != 0;
  }();
  return may;
}

}  // namespace

std::optional<std::string_view> forbidding_attribute(std::string_view path) {
  const std::string terminated(path);
  // statx tells the attributes without opening the entry (which its permissions may refuse);
  // where the file system does not report them there, the ioctl asks.
  struct statx info {};
  if (statx(AT_FDCWD, terminated.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE, &info) != 0) {
    return std::nullopt;
  }
  if ((info.stx_attributes_mask & kForbidding) == kForbidding) {
    return forbidding_attribute(uint64_t{info.stx_attributes & kForbidding});
  }
  if (S_ISLNK(info.stx_mode)) return std::nullopt;
  const int fd = open(terminated.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  const auto attribute = forbidding_attribute(fd);
  close(fd);
  return attribute;
}

Status check_holdable(std::string_view path) {
  if (may_lease_any_file()) return {};
  const std::string terminated(path);
  struct stat info {};
  if (lstat(terminated.c_str(), &info) != 0 || info.st_uid == geteuid()) return {};
  return fail_other("Cannot hold " + terminated +
                    " exclusively to delete it: it belongs to another user");
}

Result<DeleteHandle> open_file_handle(std::string_view path) {
  const std::string terminated(path);
  const auto folder = parent_path(terminated);
  const auto name = path_file_name(terminated);
  if (!folder || !name) {
    return fail_other("Failed to create file handle: " + terminated + " names no file");
  }
  // Its folder as the top of a walk of its own, which the handle keeps for the removal.
  auto top = open_walk_top(*folder);
  if (!top) return fail(prefixed("Failed to create file handle: ", top.error()));
  return open_file_handle(*top, *name);
}

Result<DeleteHandle> open_file_handle(const WalkedFolder& folder, std::string_view name) {
  ignore_lease_breaks();
  const std::string terminated(name);
  const std::string path = join_path(folder.path(), name);
  int fd;
  do {
    // O_NONBLOCK: opening a FIFO must not wait for a writer. O_NOFOLLOW: a link is never held
    // in place of the file that the listing showed (open(2): ELOOP).
    fd = openat(static_cast<int>(folder.native()), terminated.c_str(),
                O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ELOOP) return fail(entry_changed_error(path, "it is a link now"));
    return fail(error_with_os_text("Failed to create file handle: "));
  }
  // Only regular files take a lease; EINVAL means another kind of file, or a file system
  // without leases. Directories are refused, as an open of a non-directory file refuses them on
  // Windows; other files keep the handle, without the exclusion.
  if (fcntl(fd, F_SETLEASE, F_WRLCK) != 0) {
    int code = errno;
    struct stat info {};
    if (code == EINVAL && fstat(fd, &info) == 0) {
      // Listed as a file, a folder now: its name was given to another entry since.
      if (S_ISDIR(info.st_mode)) {
        close(fd);
        return fail(entry_changed_error(path, "it is a folder now"));
      }
      code = 0;
    }
    if (code != 0) {
      close(fd);
      return fail(error_with_errno(code, "Failed to create file handle: "));
    }
  }
  // One look at the held file serves the check of its attributes and, at the close, the check
  // that its name still leads to it.
  struct statx info {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_INO, &info) != 0) {
    const int code = errno;
    close(fd);
    return fail(error_with_errno(code, "Failed to create file handle: "));
  }
  DeleteHandle handle(Handle(fd), path);
  handle.folder_ = folder.place();
  handle.name_ = terminated;
  handle.volume_ = makedev(info.stx_dev_major, info.stx_dev_minor);
  handle.number_ = info.stx_ino;
  handle.attributes_ = (info.stx_attributes_mask & kForbidding) == kForbidding
                           ? info.stx_attributes & kForbidding
                           : kAttributesUnknown;
  return handle;
}

Status mark_for_deletion(DeleteHandle& handle) {
  handle.marked_ = true;
  return {};
}

Status unmark_for_deletion(DeleteHandle& handle) {
  handle.marked_ = false;
  return {};
}

Status check_entries_deletable_in(std::string_view directory) {
  // Deleting a name changes its folder: that takes write and search permission there, as the
  // process's effective user and groups have them.
  const std::string terminated(directory);
  if (faccessat(AT_FDCWD, terminated.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    return fail(error_with_os_text("Cannot delete what is in " + terminated + ": "));
  }
  if (const auto attribute = forbidding_attribute(terminated)) {
    return fail_other("Cannot delete what is in " + terminated + ": " + std::string(*attribute));
  }
  return {};
}

Status check_attributes_allow_deletion(std::string_view path) {
  const std::string terminated(path);
  if (const auto attribute = forbidding_attribute(terminated)) {
    return fail_other("Cannot delete " + terminated + ": " + std::string(*attribute));
  }
  return {};
}

Status check_attributes_allow_deletion(const DeleteHandle& handle) {
  const auto attribute = handle.attributes_ == kAttributesUnknown
                             ? forbidding_attribute(static_cast<int>(handle.handle_.get()))
                             : forbidding_attribute(handle.attributes_);
  if (attribute) {
    return fail_other("Cannot delete " + handle.path_ + ": " + std::string(*attribute));
  }
  return {};
}

Status close_file_handle(DeleteHandle& handle) {
  const int fd = static_cast<int>(handle.handle_.get());
  if (handle.marked_) {
    // The name goes through its folder, opened again from the walk's top without following a
    // link: a folder on the way that became a link would lead to another's files. A folder that
    // is gone took the name with it: nothing to delete there.
    auto folder = open_walked_folder(handle.folder_);
    if (!folder && !is_not_found(folder.error())) {
      if (folder.error().kind() == EntryChangedError) return fail(folder.error());
      return fail(prefixed("Failed to close file handle: ", folder.error()));
    }
    // Delete the name only while it still leads to the file this handle holds.
    struct stat named {};
    if (folder) {
      const int dirfd = static_cast<int>(folder->native());
      if (fstatat(dirfd, handle.name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
          named.st_dev == handle.volume_ && named.st_ino == handle.number_ &&
          (fails_simulated(DurableCall::Unlink) || unlinkat(dirfd, handle.name_.c_str(), 0) != 0)) {
        return fail(error_with_os_text("Failed to close file handle: "));
      }
    }
    handle.marked_ = false;
  }
  // Released first: a descriptor whose close failed is gone all the same, and closing it again
  // could close another file that reused its number.
  handle.handle_.release();
  if (close(fd) != 0) return fail(error_with_os_text("Failed to close file handle: "));
  return {};
}

}  // namespace vellicor
