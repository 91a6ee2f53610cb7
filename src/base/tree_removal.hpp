#pragma once
// Removals of what a listing showed, and of whole trees, which never follow a link (the walk of
// tree_walk.hpp), and the error of an entry that changed meanwhile.

#include <string_view>

#include "base/error.hpp"
#include "base/fs.hpp"

namespace vellicor {

// An entry of a tree that is walked to be deleted is no longer what its listing showed: a folder
// replaced by a link or by another entry, or another file system mounted on it, since it was
// listed. What it leads to now is not the tree's, and no wait makes it so: final. Its message
// names the entry: "<path> changed while the update ran: it is a link now" (or "...: it is no
// longer a folder", "...: another file system is mounted on it now").
inline constexpr ErrorKind EntryChangedError{
    "EntryChangedError", "", ErrorKind::Text::StartsMessage, ErrorKind::Retry::Final};
Error entry_changed_error(std::string_view path, std::string_view how);

// Removes a directory with everything in it (walk_breadth_first: every folder's files and links
// as it is listed, then the emptied folders, the deepest first). A link (the target itself or
// inside the tree) is removed as a link; what it points to is never touched, and a folder that
// becomes a link while the removal runs is refused (EntryChangedError; POSIX). The first failure
// stops the removal.
[[nodiscard]] Status remove_directory_tree(std::string_view path);

// The same for a folder that a listing showed as one: anything else at `path` now (a link, a
// file, a mount point) fails with an EntryChangedError that names it, and nothing is removed.
[[nodiscard]] Status remove_folder_tree(std::string_view path);

// The two removals that remove_directory_tree is made of: an empty folder (on Windows a
// read-only attribute is cleared for it, and set again when the removal fails), and what a
// listing shows that is not a folder: a file, or a link itself (on Windows a link to a folder
// by the folder's call).
[[nodiscard]] Status remove_empty_folder(std::string_view path);
// What a listing of its folder shows of the entry that `path` names itself (a link not followed;
// POSIX: a mount point is a link).
[[nodiscard]] Result<DirEntry> listed_entry(std::string_view path);
[[nodiscard]] Status remove_listed_entry(std::string_view path, const DirEntry& entry);

}  // namespace vellicor
