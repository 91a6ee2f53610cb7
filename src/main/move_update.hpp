#pragma once
// Replacing the installation: delete the old version around the kept entries, in committed
// stages (open every file, mark every file, close every file), then move the staged version up
// from the update folder and remove that folder.

#include <optional>
#include <string_view>

#include "base/error.hpp"
#include "base/path.hpp"
#include "main/retry.hpp"
#include "main/update_state.hpp"

namespace vellicor {

class Logger;
struct Installation;

// True for the entries of the installation root that survive an update: the update folder
// itself, every name that begins with "unins" and "tools", compared as the file system
// compares names (on Windows without regard to letter case).
bool is_kept_entry(std::string_view name, PathStyle style = native_path_style());

// Replaces the old version in the root by the new one from the update folder. A fresh update
// (`resume` empty) or one resumed while deleting checks first, before anything is touched, that
// the update folder is a directory of its own (not a link, junction or mount point, on the
// root's volume) holding an entry named like the application's executable, that every staged
// entry can be moved in, and that the staged version holds every file that its own uninstall
// log names (check_staged_version). It records its phase (update_state) as it goes; one
// resumed while moving goes on with whatever is left in the update folder. Every step that may
// fail for a while runs under retry_with_prompt with `hooks`.
[[nodiscard]] Status move_update(Logger& logger, const Installation& installation,
                                 std::optional<UpdatePhase> resume = std::nullopt,
                                 const RetryHooks& hooks = {});

}  // namespace vellicor
