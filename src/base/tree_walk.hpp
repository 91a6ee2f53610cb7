#pragma once
// One walk for the trees that an update deletes: every folder listed once, breadth-first from the
// top, links and mount points (which listings show as links) never entered.
//
// On POSIX the walk goes through open folders, as systemd's rm_rf_children does and Rust's
// remove_dir_all since CVE-2022-21658: each folder is opened through its parent's descriptor
// without following a link (openat with O_NOFOLLOW | O_DIRECTORY) and on its top's file system
// only, and its entries are listed, opened and removed through its own descriptor. A folder that
// another program replaces with a link while the update runs is refused, never followed: by path,
// the listing of its target would delete the target's files. On Windows the same by handle:
// each folder opened through its parent's handle without entering a reparse point, listed through
// its own, and refused where its handle leads elsewhere than the walk went (a Unix link under
// Wine).

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/fs.hpp"
#include "base/handle.hpp"

namespace vellicor {

// The top of a walk as the platform holds it: its descriptor or handle, and those of the
// folders from it down to the folder opened last (no more: a wide or deep tree would run out of
// descriptors if every folder stayed open). Shared by the walk and by what outlives it (the old
// version's held files, whose folders are opened again from the top when the files go), on one
// thread at a time.
class WalkTop;

// Where a folder of a walk lies: its walk's top, the names that lead from the top down to it, and
// its path as joined from them, which logs and errors name.
struct FolderPlace {
  std::shared_ptr<WalkTop> top;
  std::vector<std::string> names;
  std::string path;
};

// A folder of a walk, open while it is visited.
class WalkedFolder {
 public:
  WalkedFolder(std::shared_ptr<const FolderPlace> place, std::shared_ptr<const Handle> handle)
      : place_(std::move(place)), handle_(std::move(handle)) {}

  const std::string& path() const { return place_->path; }
  const std::shared_ptr<const FolderPlace>& place() const { return place_; }
  // The folder's descriptor (POSIX) or handle (Windows).
  Handle::Native native() const { return handle_ ? handle_->get() : Handle::Native{-1}; }

 private:
  std::shared_ptr<const FolderPlace> place_;
  std::shared_ptr<const Handle> handle_;
};

// Opens the folder `path` as the top of a walk. POSIX: a link there is not followed: it fails
// with an EntryChangedError that names it (Windows: a reparse point, or a Unix link under Wine);
// anything else fails with the system's I/O error, as a listing of the path does.
[[nodiscard]] Result<WalkedFolder> open_walk_top(std::string_view path);

// Opens the folder at `place` again. POSIX: from its top, one name at a time, each through the
// folder above it without following a link, reusing the folders opened last where the names
// agree. A name that no longer leads to a folder on the top's file system (a link or another
// entry in its place, another file system mounted on it) fails with an EntryChangedError that
// names it; a name that is gone fails with the system's I/O error (is_not_found). Windows the
// same through handles, and a folder whose handle leads elsewhere (a Unix link under Wine) is
// refused as a link.
[[nodiscard]] Result<WalkedFolder> open_walked_folder(
    const std::shared_ptr<const FolderPlace>& place);

// The place of the folder `name` in `folder`.
std::shared_ptr<const FolderPlace> place_below(const WalkedFolder& folder, std::string_view name);

// The entries of an open folder, as list_directory gives them, listed through its descriptor or
// handle.
[[nodiscard]] Result<std::vector<DirEntry>> list_walked_folder(const WalkedFolder& folder);

// Removes what the listing of `folder` shows as `entry`, which is no folder: a file, or a link
// itself (POSIX: unlinkat through the folder's descriptor; Windows: opened through the folder's
// handle, checked to be what was listed, and deleted through its own).
[[nodiscard]] Status remove_walked_entry(const WalkedFolder& folder, const DirEntry& entry);

// Removes the emptied folder at `place`: through the folder above it, opened again as
// open_walked_folder does, and the top by its path once the walk has let go of it (rmdir and
// RemoveDirectory never follow a link at the path's end).
[[nodiscard]] Status remove_walked_folder(const std::shared_ptr<const FolderPlace>& place);

// Sees one folder's entries in the platform's listing order; it may take entries out of the
// list, which are then not entered. Its error ends the walk. The folder stays open for
// as long as the visit lasts: what the visitor opens or removes in it goes through it.
using FolderVisitor =
    std::function<Status(const WalkedFolder& folder, std::vector<DirEntry>& entries)>;

// Opens and lists `top` and calls `visit` with its entries, then does the same for every folder
// that a listing shows (and `visit` leaves in it), breadth-first. Stops at the first error, an
// open's, a listing's or the visitor's. Holds the descriptors or handles of the folders from the
// top down to the one visited, through which it lists them.
[[nodiscard]] Status walk_breadth_first(std::string_view top, const FolderVisitor& visit);

}  // namespace vellicor
