#pragma once
// Holds on the entries that an update moves into place, from the checks before its first delete
// to their renames, so that nothing can take them meanwhile in a way that would stop the move.

#include <string>
#include <string_view>
#include <utility>

#include "base/durability.hpp"
#include "base/error.hpp"
#include "base/handle.hpp"

namespace vellicor {

// The hold of a staged file from the checks to its move (open_entry, OpenFor::Holding).
class MoveHandle {
 public:
  MoveHandle(MoveHandle&&) noexcept = default;
  MoveHandle& operator=(MoveHandle&&) noexcept = default;

  const std::string& path() const { return path_; }

 private:
  MoveHandle(Handle handle, std::string path)
      : handle_(std::move(handle)), path_(std::move(path)) {}

  friend Status move_held(MoveHandle& handle, std::string_view to, Flush flush);
  friend struct EntryOpening;  // open_entry's hold

  Handle handle_;     // Windows: the entry, opened with delete access; POSIX: none
  std::string path_;  // where it was held
};

// Renames the held entry to `to` as rename_replacing does (a file replaces a file there, a
// folder replaces nothing), durably for Flush::HardwareFlush (rename_durably: on Windows the
// moved file flushed through the handle, which writes its entry in its new folder out); Windows
// renames it through the handle, which then closes.
[[nodiscard]] Status move_held(MoveHandle& handle, std::string_view to, Flush flush);

// Windows: fails while any other program has the file or folder at `path` open to read, write,
// run or delete it (an exclusive open with delete access is refused then): Microsoft's file
// systems refuse to rename a folder while anything below it is open, and to replace a file that
// is open. Fails with "Failed to create file handle: " and the system's text. POSIX: nothing.
[[nodiscard]] Status check_not_open(std::string_view path);

}  // namespace vellicor
