#pragma once
// Delete-access file handles: an update opens every old file exclusively first, then marks all
// for deletion, and closing the handles deletes the files.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "base/handle.hpp"

namespace vellicor {

struct FolderPlace;
class WalkedFolder;

// An exclusive hold on one file that is to be deleted. Move-only; one that goes away still
// open is unmarked (its read-only attribute set again where the mark cleared it), then closed:
// no file goes by accident, whatever path the caller leaves by.
class DeleteHandle {
 public:
  DeleteHandle(DeleteHandle&& other) noexcept
      : handle_(std::move(other.handle_)),
        path_(std::move(other.path_)),
        folder_(std::move(other.folder_)),
        name_(std::move(other.name_)),
        marked_(std::exchange(other.marked_, false)),
        cleared_read_only_(std::exchange(other.cleared_read_only_, false)),
        volume_(other.volume_),
        number_(other.number_),
        attributes_(other.attributes_) {}
  DeleteHandle& operator=(DeleteHandle&&) = delete;
  ~DeleteHandle();

  bool is_open() const { return handle_.valid(); }
  const std::string& path() const { return path_; }
  // The read-only attribute was cleared so that the file could be marked (Windows); unmarking
  // sets it again.
  bool cleared_read_only() const { return cleared_read_only_; }

 private:
  DeleteHandle(Handle handle, std::string path)
      : handle_(std::move(handle)), path_(std::move(path)) {}

  friend Result<DeleteHandle> open_file_handle(std::string_view path);
  friend Result<DeleteHandle> open_file_handle(const WalkedFolder& folder, std::string_view name);
  friend Status mark_for_deletion(DeleteHandle& handle);
  friend Status unmark_for_deletion(DeleteHandle& handle);
  friend Status close_file_handle(DeleteHandle& handle);
  friend Status check_attributes_allow_deletion(const DeleteHandle& handle);

  Handle handle_;
  std::string path_;  // the file it was opened for
  // POSIX: the folder that holds it, as its walk found it, and its name there: the file goes
  // through that folder, opened again from the walk's top, never through a link.
  std::shared_ptr<const FolderPlace> folder_;
  std::string name_;
  bool marked_ = false;
  bool cleared_read_only_ = false;
  // POSIX: the held file's device and number, which cannot change while it is held, and its
  // attributes where the open could tell them (kAttributesUnknown where it could not).
  uint64_t volume_ = 0;
  uint64_t number_ = 0;
  uint64_t attributes_ = 0;
};

// Opens an existing file (not a directory) with delete access only and no sharing: fails while
// any other process has the file open, and keeps others out while the handle exists.
[[nodiscard]] Result<DeleteHandle> open_file_handle(std::string_view path);
// The same for the file `name` of a walked folder (path(): the folder's path joined with the
// name). POSIX: opened through the folder's descriptor, without following a link (a link there
// now fails with an EntryChangedError that names it), and deleted through the folder, opened
// again from its walk's top when the handle closes (open_walked_folder), where the name still
// leads to the held file; Windows: by its path.
[[nodiscard]] Result<DeleteHandle> open_file_handle(const WalkedFolder& folder,
                                                    std::string_view name);

// Sets the delete-on-close disposition; the handle stays open and usable. A read-only file is
// marked like any other: its attribute is cleared first, and set again when the mark fails.
// Fails with "Failed to mark file for deletion: " + path + ": " and the system's text.
[[nodiscard]] Status mark_for_deletion(DeleteHandle& handle);

// Clears the delete-on-close disposition again, and sets the read-only attribute again where the
// mark had cleared it: closing the handle then leaves the file as it was.
[[nodiscard]] Status unmark_for_deletion(DeleteHandle& handle);

// Closes the handle; a marked handle's file is deleted by it. POSIX: through its folder, and only
// while its name there still leads to the held file; a folder on the way that is no longer the
// walk's (a link, another entry, a mount now) fails with an EntryChangedError that names it, and
// the handle stays open and marked (the destructor unmarks it: nothing is deleted through it).
[[nodiscard]] Status close_file_handle(DeleteHandle& handle);

// Whether this process may delete the entries of `directory`. On POSIX that takes write and
// search permission on the folder, and no attribute of it that forbids taking entries out
// (immutable, append-only), found out here, before anything is marked; on Windows a file's own
// read-only attribute decides, and the mark clears it. Fails with "Cannot delete what is in " +
// directory + ": " and the system's text, or "it is immutable", "it is append-only".
[[nodiscard]] Status check_entries_deletable_in(std::string_view directory);

// POSIX: whether the attributes of the file or folder at `path` let it be deleted at all: an
// immutable or append-only one cannot be, by anyone (found out before anything is marked; no
// wait changes it). Fails with "Cannot delete " + path + ": it is immutable" or "...: it is
// append-only". Where the file system keeps no such attributes, or they cannot be read, nothing
// is known and nothing fails. Windows: the mark clears a read-only attribute, which takes the
// right to write the attributes: a read-only file or folder without it fails with "Cannot delete
// " + path + ": its read-only attribute cannot be cleared: " and the system's text.
[[nodiscard]] Status check_attributes_allow_deletion(std::string_view path);
// The same for the file that `handle` holds, asked through the handle (a second open of the
// file would break the hold).
[[nodiscard]] Status check_attributes_allow_deletion(const DeleteHandle& handle);

// POSIX: the attribute of the file or folder at `path` (a link not followed) that forbids
// deleting, renaming or replacing it, and for a folder taking entries out of it: "it is
// immutable", "it is append-only"; nothing where neither is set or none can be read.
// Windows: nothing (a read-only attribute is cleared where it is in the way).
std::optional<std::string_view> forbidding_attribute(std::string_view path);

// POSIX: whether this process can hold the file at `path` exclusively (open_file_handle). The
// exclusion is a lease, which only the file's owner, or a process with CAP_LEASE, may take: a
// file of another user's would fail every attempt. Fails with "Cannot hold <path> exclusively to
// delete it: it belongs to another user". Windows: nothing (the access control lists decide, and
// the open's retries report them).
[[nodiscard]] Status check_holdable(std::string_view path);

}  // namespace vellicor
