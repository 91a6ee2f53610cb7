#include "update/move_in.hpp"

#include <string>

#include "base/durability.hpp"
#include "base/fs.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"
#include "base/tree_removal.hpp"
#include "base/volume.hpp"
#include "logging/logger.hpp"
#include "update/installation.hpp"
#include "update/staged_scan.hpp"
#include "update/update_context.hpp"

namespace vellicor {
namespace {

// The suffix of the name under which an entry that stands where a staged one goes is kept.
constexpr std::string_view kSetAsideSuffix = ".set-aside-by-update";

// Whether something is at `path` that the rename of a staged entry `name` would replace or
// fail on, and that is not the update's to replace: anything but a kept file, which the staged
// one replaces in every update (the new unins000.dat), and a link, which the update never
// deletes and a rename replaces by itself.
Result<bool> stands_in_the_way(const std::string& path, std::string_view name) {
  auto entry = listed_entry(path);
  if (!entry) {
    if (is_not_found(entry.error())) return false;
    return fail(entry.error());
  }
  if (entry->kind == EntryKind::Link) return false;
  return !(entry->kind == EntryKind::File && is_kept_entry(name));
}

// A free name beside `path` that says why the entry there was moved: "<name>.set-aside-by-update",
// else the same with "-2", "-3", ...
Result<std::string> set_aside_name(const std::string& path) {
  for (uint32_t n = 1;; ++n) {
    std::string candidate = path + std::string(kSetAsideSuffix);
    if (n > 1) candidate += "-" + std::to_string(n);
    auto taken = listed_entry(candidate);
    if (!taken && is_not_found(taken.error())) return candidate;
    if (!taken) return fail(taken.error());
  }
}

// What appeared in the root where a staged entry goes once the move-in had begun (a file that
// the application, already updated in part, wrote there) is kept under another name, never
// replaced: the staged entry takes its place, and the run goes on.
Status set_aside_what_is_in_the_way(const UpdateContext& update, const std::string& name,
                                    const std::string& to, Flush flush) {
  auto in_the_way = stands_in_the_way(to, name);
  if (!in_the_way) return fail(in_the_way.error());
  if (!*in_the_way) return {};
  auto aside = set_aside_name(to);
  if (!aside) return fail(aside.error());
  auto moved = retry_with_prompt(
      "Moving aside: " + to, kRetryLimit, [&](uint32_t) { return rename_with(flush, to, *aside); },
      update.hooks);
  if (moved) {
    log_warning(update.logger, "Kept " + to + " as " + *aside + ": it stood where the new " +
                                   "version's " + name + " goes");
  }
  return moved;
}

}  // namespace

Status move_new_version_in(const UpdateContext& update, StagedScan& scan) {
  const Installation& installation = update.installation;
  auto entries = list_directory(installation.update_folder);
  if (!entries) return fail(entries.error());
  // Where the volume keeps no order of its renames (FAT, exFAT), each rename is on the disk
  // before the next step: the record's removal must never reach the disk before them.
  // Where the volume keeps no order of its renames, each one is on the disk before the next.
  const Flush flush =
      renames_ordered_on_volume(installation.root) ? Flush::None : Flush::HardwareFlush;
  for (const auto& entry : *entries) {
    if (!entry.name) return fail_other("Could not get entry name");
    const std::string& name = *entry.name;
    const std::string from = join_path(installation.update_folder, name);
    const std::string to = join_path(installation.root, name);
    if (scan.in_place(name)) {
      log_info(update.logger, "Already in place: " + name + " is " + to + " by another name");
      continue;
    }
    if (auto cleared = set_aside_what_is_in_the_way(update, name, to, flush); !cleared) {
      return cleared;
    }
    MoveHandle* held = scan.hold(name);
    auto moved = retry_with_prompt(
        "Renaming: " + name, kRetryLimit,
        [&](uint32_t attempt) {
          log_info(update.logger, "Rename: " + name + attempt_suffix(attempt));
          if (held) return move_held(*held, to, flush);
          return rename_with(flush, from, to);
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
