#pragma once
// The record of an update in progress, a small file in the installation root. It is written
// before the first old file can go and removed after the uninstall log was rewritten, so that
// running the same command again after an interruption knows where the update stands.

#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"

namespace vellicor {

struct Installation;

// Where an interrupted update goes on: deleting the old version (the new one is still whole in
// the update folder), or moving the new version in (the old one is gone entirely).
enum class UpdatePhase { Deleting, Moving };

// The file's name in the root, and the temporary file that replaces it atomically. Neither is
// ever taken for a file of the old or the new version.
inline constexpr std::string_view kUpdateStateName = ".vellicor-update";
inline constexpr std::string_view kUpdateStateTempName = ".vellicor-update.tmp";

// "deleting the old version", "moving the new version in"
std::string_view phase_text(UpdatePhase phase);

// The phase of the update in progress, or nothing when no update was interrupted. Fails, so
// that nothing is touched, when the file is there but not one this program wrote.
[[nodiscard]] Result<std::optional<UpdatePhase>> read_update_state(
    const Installation& installation);

// True when the root next to `code_path` records an update in progress.
bool update_in_progress_next_to(std::string_view code_path);

// Records the phase: written to a new temporary file, flushed, then renamed over the record.
[[nodiscard]] Status write_update_state(const Installation& installation, UpdatePhase phase);

// Removes the record (and a leftover temporary file): the update is complete.
[[nodiscard]] Status remove_update_state(const Installation& installation);

}  // namespace vellicor
