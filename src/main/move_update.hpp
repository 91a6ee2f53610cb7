#pragma once
// Replacing the installation: delete the old version around the kept entries, in committed
// stages (open every file, mark every file, close every file), then move the staged version up
// from the update folder and remove that folder.

#include <optional>
#include <string_view>

#include "base/error.hpp"
#include "main/retry.hpp"
#include "main/update_state.hpp"

namespace vellicor {

class Logger;
struct Installation;

// Replaces the old version in the root by the new one from the update folder. A fresh update
// (`resume` empty) or one resumed while deleting checks first, before anything is touched, that
// the update folder is a directory of its own (not a link, junction or mount point, on the
// root's volume) holding an entry named like the application's executable, that every staged
// entry can be moved in, and that the staged version holds every file that its own uninstall
// log names (check_staged_version). A fresh update records itself (update_state) with the staged
// entries before the first old file can go, and records each later phase as it gets there; one
// resumed while moving checks what is left in the update folder the same way and moves it in.
// Every step that may fail for a while runs under retry_with_prompt with `hooks`. Once every
// staged entry is in place the update is complete: a failure to remove the emptied update
// folder is a warning.
[[nodiscard]] Status move_update(Logger& logger, const Installation& installation,
                                 const std::optional<UpdateRecord>& resume = std::nullopt,
                                 const RetryHooks& hooks = {});

}  // namespace vellicor
