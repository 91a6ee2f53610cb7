#pragma once
// Delete-access file handles: every old file is opened exclusively first, then all are marked
// for deletion, and closing the handles deletes the files.

#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.hpp"

namespace vellicor {

// A plain value; nothing closes it implicitly.
struct FileHandle {
  intptr_t os_handle = -1;  // a HANDLE on Windows, a file descriptor on POSIX
  std::string path;         // the file it was opened for
  bool marked = false;      // marked for deletion
  // The read-only attribute was cleared so that the file could be marked (Windows); unmarking
  // sets it again.
  bool cleared_read_only = false;

  bool is_open() const { return os_handle != -1; }  // -1 is also INVALID_HANDLE_VALUE
};

// Opens an existing file (not a directory) with delete access only and no sharing: fails while
// any other process has the file open, and keeps others out while the handle exists.
[[nodiscard]] Result<FileHandle> open_file_handle(std::string_view path);

// Sets the delete-on-close disposition; the handle stays open and usable. A read-only file is
// marked like any other: its attribute is cleared first, and set again when the mark fails.
// Fails with "Failed to mark file for deletion: " + path + ": " and the system's text.
[[nodiscard]] Status mark_for_deletion(FileHandle& handle);

// Clears the delete-on-close disposition again, and sets the read-only attribute again where the
// mark had cleared it: closing the handle then leaves the file as it was.
[[nodiscard]] Status unmark_for_deletion(FileHandle& handle);

// Whether this process may delete the entries of `directory`. On POSIX that takes write and
// search permission on the folder, found out here, before anything is marked; on Windows a
// file's own read-only attribute decides, and marking it fails. Fails with "Cannot delete what
// is in " + directory + ": " and the system's text.
[[nodiscard]] Status check_entries_deletable_in(std::string_view directory);

// Closes the handle; a marked handle's file is deleted by it.
[[nodiscard]] Status close_file_handle(FileHandle& handle);

}  // namespace vellicor
