#pragma once
// Holds on the entries that an update moves into place, from the checks before its first delete
// to their renames, so that nothing can take them meanwhile in a way that would stop the move.

#include <string>
#include <string_view>
#include <utility>

#include "base/error.hpp"
#include "base/handle.hpp"

namespace vellicor {

class MoveHandle {
 public:
  MoveHandle(MoveHandle&&) noexcept = default;
  MoveHandle& operator=(MoveHandle&&) noexcept = default;

  const std::string& path() const { return path_; }

 private:
  MoveHandle(Handle handle, std::string path)
      : handle_(std::move(handle)), path_(std::move(path)) {}

  friend Result<MoveHandle> open_move_handle(std::string_view path);
  friend Status move_held(MoveHandle& handle, std::string_view to);
  friend struct EntryOpening;

  Handle handle_;     // Windows: the entry, opened with delete access; POSIX: none
  std::string path_;  // where it was held
};

// Windows: opens the file or folder at `path` (a link itself) with delete access, letting others
// read and write it but not delete it. It fails with a sharing violation while another program
// has the entry open without delete sharing, which would stop its rename, and from then on
// keeps such opens out. Fails with "Failed to create file handle: " and the system's text.
// POSIX: an open entry stops no rename, and the handle only names the path.
[[nodiscard]] Result<MoveHandle> open_move_handle(std::string_view path);

// Renames the held entry to `to` as rename_replacing does (a file replaces a file there, a
// folder replaces nothing); Windows renames it through the handle, which then closes.
[[nodiscard]] Status move_held(MoveHandle& handle, std::string_view to);

// Windows: fails while any other program has the file or folder at `path` open to read, write,
// run or delete it (an exclusive open with delete access is refused then): Microsoft's file
// systems refuse to rename a folder while anything below it is open, and to replace a file that
// is open. Fails with "Failed to create file handle: " and the system's text. POSIX: nothing.
[[nodiscard]] Status check_not_open(std::string_view path);

// Windows: fails while another program has the file or folder at `path` open without delete
// sharing, which refuses its rename (open_move_handle, let go at once: for what cannot be held
// until its move). POSIX: nothing.
[[nodiscard]] Status check_movable(std::string_view path);

}  // namespace vellicor
