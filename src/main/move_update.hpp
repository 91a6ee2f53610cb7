#pragma once
// Replacing the installation: delete the old version around the kept entries, in committed
// stages (open every file, mark every file, close every file), then move the staged version up
// from the update folder and remove that folder.

#include <string_view>

#include "base/error.hpp"
#include "main/retry.hpp"

namespace vellicor {

class Logger;

// True for the entries of the installation root that survive an update: the update folder
// itself, every name that begins with "unins" and "tools" (exact, case-sensitive).
bool is_kept_entry(std::string_view name, std::string_view update_folder_name);

// The root is the folder of the uninstall log; the update folder is the root joined with
// `update_folder_name`. Every step that may fail for a while runs under retry_with_prompt with
// `hooks`.
[[nodiscard]] Status move_update(Logger& logger, std::string_view uninstall_log_path,
                                 std::string_view update_folder_name, const RetryHooks& hooks = {});

}  // namespace vellicor
