#pragma once
// Checks of the staged entries that tell, before the old version is touched, whether the
// move-in can take each of them, for what no wait can change: its name and the permissions a
// rename out of the update folder needs. Any caller that has listed the update folder can run
// them, a fresh update as well as a resumed one.

#include <span>
#include <string_view>

#include "base/error.hpp"
#include "base/fs.hpp"
#include "base/path.hpp"

namespace vellicor {

struct Installation;
class StagedScan;

// Under Windows' rules (`style`; the Windows build), fails for the first staged entry whose
// name the system's path handling changes or refuses (windows_name_problem): "Staged entry " +
// path + " has a name that Windows cannot hold: " + the problem. Entries without a name fail
// with "Could not get entry name". Nothing under POSIX rules, where every name is a name.
[[nodiscard]] Status check_staged_names(const Installation& installation,
                                        std::span<const DirEntry> staged,
                                        PathStyle style = native_path_style());

// Fails for the first staged entry that this process may not rename into the root: "Staged
// entry " + path + " cannot be moved into " + root + ": " and the system's text. POSIX: the
// rename takes write and search permission on the update folder and on the root, and on a
// staged folder write permission on itself too (its ".." changes); a sticky update folder
// lets only the owners move its entries; a mount point does not move at all; nothing leaves an
// immutable or append-only update folder, and no immutable or append-only entry moves ("Staged
// entry <path> cannot be moved into <root>: it is immutable", "...: <folder> is append-only"),
// the entries' attributes as their scan read them.
// Windows: the access
// control lists decide, which this check does not read; the rename's own retries and error report
// them.
[[nodiscard]] Status check_staged_movable(const Installation& installation,
                                          std::span<const DirEntry> staged, const StagedScan& scan);

}  // namespace vellicor
