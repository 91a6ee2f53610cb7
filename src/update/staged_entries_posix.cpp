#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/delete_handle.hpp"
#include "base/os_error.hpp"
#include "update/installation.hpp"
#include "update/staged_entries.hpp"
#include "update/staged_scan.hpp"

namespace vellicor {
namespace {

// Whether the process's effective user and groups have `mode` on the folder; errno says why
// not.
bool allowed(const std::string& folder, int mode) {
  return faccessat(AT_FDCWD, folder.c_str(), mode, AT_EACCESS) == 0;
}

// In a sticky folder only the owner of an entry or of the folder, or a privileged process, may
// rename the entry.
bool owner_may_move(const struct stat& folder, const struct stat& entry) {
  const uid_t user = geteuid();
  return (folder.st_mode & S_ISVTX) == 0 || user == 0 || user == entry.st_uid ||
         user == folder.st_uid;
}

}  // namespace

Status check_staged_movable(const Installation& installation, std::span<const DirEntry> staged,
                            const StagedScan& scan) {
  const std::string& folder = installation.update_folder;
  const auto refused = [&](const std::string& path) {
    return fail(error_with_os_text("Staged entry " + path + " cannot be moved into " +
                                   installation.root + ": "));
  };
  const bool folders_allow =
      allowed(folder, W_OK | X_OK) && allowed(installation.root, W_OK | X_OK);
  const int folders_errno = errno;
  struct stat folder_info {};
  if (lstat(folder.c_str(), &folder_info) != 0) return fail(error_with_os_text(folder + ": "));
  // Nothing leaves an immutable or append-only folder, and nothing immutable or append-only
  // moves.
  const auto folder_attribute = forbidding_attribute(folder);
  const auto held_back = [&](const std::string& path, std::string_view why) {
    return fail_other("Staged entry " + path + " cannot be moved into " + installation.root + ": " +
                      std::string(why));
  };
  for (const auto& entry : staged) {
    if (!entry.name) return fail_other("Could not get entry name");
    const std::string path = join_path(folder, *entry.name);
    if (!folders_allow) {
      errno = folders_errno;
      return refused(path);
    }
    if (folder_attribute) {
      // "it is immutable" said of the update folder
      return held_back(path, folder + std::string(folder_attribute->substr(2)));
    }
    if (const auto attribute = scan.forbidding_attribute(*entry.name)) {
      return held_back(path, *attribute);
    }
    // Another file system mounted on it: a mount point does not move.
    if (entry.mount_point) {
      errno = EBUSY;
      return refused(path);
    }
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return refused(path);
    if (!owner_may_move(folder_info, info)) {
      errno = EPERM;
      return refused(path);
    }
    if (S_ISDIR(info.st_mode) && !allowed(path, W_OK)) return refused(path);
  }
  return {};
}

}  // namespace vellicor
