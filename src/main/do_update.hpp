#pragma once
// The update engine's entry: replace the installation, then rewrite the uninstall log so that
// it names the files at their new places.

#include <string_view>

#include "base/error.hpp"
#include "main/retry.hpp"

namespace vellicor {

class Logger;

// The name of the update folder inside the installation root.
inline constexpr std::string_view kUpdateFolderName = "_";

// Replaces the installation of `code_path` (move_update) and patches its unins000.dat. A failed
// patch is logged as two warnings and does not fail the update.
[[nodiscard]] Status do_update(Logger& logger, std::string_view code_path,
                               const RetryHooks& hooks = {});

// Reads the uninstall log, moves every path under the update folder to the root, writes it
// back.
[[nodiscard]] Status patch_uninst_dat(Logger& logger, std::string_view uninstall_log_path,
                                      std::string_view update_folder_name);

}  // namespace vellicor
