#include "update/move_in.hpp"

#include <string>

#include "base/fs.hpp"
#include "base/path.hpp"
#include "logging/logger.hpp"
#include "update/installation.hpp"
#include "update/staged_scan.hpp"
#include "update/update_context.hpp"

namespace vellicor {

Status move_new_version_in(const UpdateContext& update, StagedScan& scan) {
  const Installation& installation = update.installation;
  auto entries = list_directory(installation.update_folder);
  if (!entries) return fail(entries.error());
  // Where the volume keeps no order of its renames (FAT, exFAT), each rename is on the disk
  // before the next step: the record's removal must never reach the disk before them.
  const bool durable = !renames_ordered_on_volume(installation.root);
  for (const auto& entry : *entries) {
    if (!entry.name) return fail_other("Could not get entry name");
    const std::string& name = *entry.name;
    const std::string from = join_path(installation.update_folder, name);
    const std::string to = join_path(installation.root, name);
    MoveHandle* held = scan.hold(name);
    auto moved = retry_with_prompt(
        "Renaming: " + name, kRetryLimit,
        [&](uint32_t attempt) {
          log_info(update.logger, "Rename: " + name + attempt_suffix(attempt));
          if (held) return move_held(*held, to, durable);
          return durable ? rename_durably(from, to) : rename_replacing(from, to);
        },
        update.hooks);
    if (!moved) return moved;
  }
  return {};
}

void remove_update_folder(const UpdateContext& update) {
  const std::string& folder = update.installation.update_folder;
  log_info(update.logger, "Delete: " + folder);
  auto removed = retry_without_prompt(
      kRetryLimit,
      [&](uint32_t attempt) {
        if (attempt > 1) log_info(update.logger, "Delete: " + folder + attempt_suffix(attempt));
        return remove_directory_tree(folder);
      },
      update.hooks);
  if (!removed) {
    log_warning(update.logger, "Could not remove the update folder " + folder + ": " +
                                   removed.error().display_text());
  }
}

}  // namespace vellicor
