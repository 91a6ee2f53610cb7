#pragma once
// The update engine's entry: replace the installation, then rewrite the uninstall log so that
// it names the files at their new places.

#include <string_view>

#include "base/error.hpp"
#include "main/retry.hpp"

namespace vellicor {

class Logger;
struct Installation;

// Replaces the installation (move_update) and patches its unins000.dat. A failed patch is
// logged as two warnings and does not fail the update.
[[nodiscard]] Status do_update(Logger& logger, const Installation& installation,
                               const RetryHooks& hooks = {});

// Reads the uninstall log, moves every path under the update folder (in each of its
// spellings) to the root, writes it back.
[[nodiscard]] Status patch_uninst_dat(Logger& logger, const Installation& installation);

}  // namespace vellicor
