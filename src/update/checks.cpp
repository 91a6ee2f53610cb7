#include "update/checks.hpp"

#include <string>
#include <string_view>
#include <unordered_map>

#include "base/delete_handle.hpp"
#include "base/durability.hpp"
#include "base/entry_identity.hpp"
#include "base/file.hpp"
#include "base/fs.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"
#include "base/tree_removal.hpp"
#include "base/volume.hpp"
#include "update/installation.hpp"
#include "update/record_match.hpp"
#include "update/staged_check.hpp"
#include "update/staged_entries.hpp"
#include "update/staged_scan.hpp"
#include "update/update_context.hpp"

namespace vellicor {
namespace {

bool is_folder(const DirEntry& entry) {
  return entry.directory_attribute;
}

// The update folder of a fresh update: the installation's own folder, holding the application's
// executable. Without it, the update would delete the application and put nothing in its place.
Result<std::vector<DirEntry>> check_update_folder(const Installation& installation) {
  const std::string& folder = installation.update_folder;
  auto entries = list_own_update_folder(installation);
  if (!entries) return fail(entries.error());
  for (const auto& entry : *entries) {
    if (entry.name && file_names_equal(*entry.name, installation.executable_name)) return entries;
  }
  return fail_other("Update folder holds no " + installation.executable_name + ": " + folder);
}

// What the move-in needs of every staged entry, known before the first old file goes: a name
// that is text, that the system takes as it is, and that is not one of the updater's own files,
// an entry that is no link,
// the permissions of the rename, and a place in the root that the rename can take. After the
// deletion the root holds only the kept entries and links; a file may replace a kept file (the
// new unins000.dat replaces the old one in every update), but no folder can replace anything,
// and no file can replace a folder.
Status check_staged_entries(const Installation& installation, const std::vector<DirEntry>& staged) {
  if (auto names = check_staged_names(installation, staged); !names) return names;
  // The record is written, replaced and removed in the root, and kept files are replaced there:
  // the root must let entries go.
  if (auto root = check_entries_deletable_in(installation.root); !root) return root;
  // Whatever is at the record's temporary name goes before the record is written: it must be
  // a file or a link that may be removed.
  const std::string record_temp = join_path(installation.root, kUpdateRecordTempName);
  if (auto temp = entry_traits(record_temp); temp && temp->kind == EntryKind::Directory) {
    return fail_other("The update record cannot be written: " + record_temp + " is a folder");
  }
  if (const auto attribute = forbidding_attribute(record_temp)) {
    return fail_other("The update record cannot be written: " + record_temp +
                      " cannot be removed: " + std::string(*attribute));
  }
  auto existing = list_directory(installation.root);
  if (!existing) return fail(existing.error());
  // The first entry of each name that stays in the root, and the first such folder: a staged
  // folder cannot replace the one, a staged file not the other.
  struct Staying {
    std::string_view entry, folder;
  };
  std::unordered_map<std::string, Staying> staying;
  for (const auto& place : *existing) {
    if (!place.name || !(is_kept_entry(*place.name) || place.kind == EntryKind::Link)) continue;
    Staying& found = staying[file_name_key(*place.name)];
    if (found.entry.empty()) found.entry = *place.name;
    if (found.folder.empty() && is_folder(place)) found.folder = *place.name;
  }
  for (const auto& entry : staged) {
    if (!entry.name) return fail_other("Could not get entry name");
    const std::string from = join_path(installation.update_folder, *entry.name);
    if (is_updater_file(installation, *entry.name)) {
      return fail_other("Update folder holds a name that the updater uses itself: " + from);
    }
    // A link leads anywhere, into the old version that is about to go as well as out of the
    // installation: the new version is what the update folder holds itself.
    if (entry.kind == EntryKind::Link && !entry.mount_point) {
      return fail_other("Staged entry " + from +
                        " is a link: the update moves in only what the "
                        "update folder holds itself");
    }
    const auto place = staying.find(file_name_key(*entry.name));
    if (place == staying.end()) continue;
    const std::string_view kept = is_folder(entry) ? place->second.entry : place->second.folder;
    if (!kept.empty()) {
      return fail_other("Staged entry " + from + " cannot replace " +
                        join_path(installation.root, kept) + ", which the update keeps");
    }
    const std::string replaced = join_path(installation.root, place->second.entry);
    if (const auto attribute = forbidding_attribute(replaced)) {
      return fail_other("Staged entry " + from + " cannot replace " + replaced + ": " +
                        std::string(*attribute));
    }
  }
  return {};
}

Status remove_probe(const std::string& path) {
  auto removed = remove_directory_tree(path);
  return removed || is_not_found(removed.error()) ? Status{} : removed;
}

// On a volume that this program does not know (FUSE file systems, FAT), a folder's rename is
// tried out before the move-in depends on it, with the updater's own names in the root: a folder
// that holds a file is renamed, and the file must still be there. fusefat, a FUSE FAT, loses what
// a renamed folder holds.
Status check_folder_moves(const Installation& installation) {
  if (!volume_is_tried_out(installation)) return {};
  const std::string probe = join_path(installation.root, kMoveProbeName);
  const std::string moved = join_path(installation.root, kMovedProbeName);
  const std::string content = "Vellicor update: a folder's rename, tried out";
  auto tried = [&]() -> Status {
    // A probe cut short leaves its folders: they go first.
    if (auto removed = remove_probe(probe); !removed) return removed;
    if (auto removed = remove_probe(moved); !removed) return removed;
    if (auto made = make_directory(probe); !made) return made;
    const std::string file = join_path(probe, "file");
    if (auto written = replace_file_durably(file, file + ".tmp", content); !written) return written;
    if (auto renamed = rename_replacing(probe, moved); !renamed) return renamed;
    auto kept = File::open_for_reading(join_path(moved, "file"));
    if (!kept) return fail(kept.error());
    auto text = read_small_file(*kept, content.size());
    if (!text) return fail(text.error());
    if (*text != content) return fail_other("the file of a renamed folder changed");
    return {};
  }();
  Status cleaned = remove_probe(probe);
  if (auto removed = remove_probe(moved); cleaned && !removed) cleaned = removed;
  if (!tried || !cleaned) {
    return fail_other("The volume of " + installation.root + " cannot move a folder with what it " +
                      "holds: " + (tried ? cleaned : tried).error().display_text());
  }
  return {};
}

}  // namespace

namespace {

// The staged entries' own checks, their scan, and the checks that take what the scan read.
Result<StagedScan> scanned(const UpdateContext& update, const std::vector<DirEntry>& staged,
                           StagedScan::Mode mode) {
  const Installation& installation = update.installation;
  if (auto checked = check_staged_entries(installation, staged); !checked) {
    return fail(checked.error());
  }
  auto scan = StagedScan::take(update, staged, mode);
  if (!scan) return fail(scan.error());
  if (auto movable = check_staged_movable(installation, staged, *scan); !movable) {
    return fail(movable.error());
  }
  return scan;
}

// What a fresh update records of the staged version: every part read before the first delete,
// so that an identity that cannot be read stops the update there, and the check says so too.
Result<StagedVersion> version_of(const Installation& installation, const StagedScan& scan) {
  auto log = recorded_log(installation.uninstall_log);
  if (!log) return fail(log.error());
  return StagedVersion{scan.entries(), scan.staged_log(), *log};
}

Result<StagedScan> staged_before_deleting(const UpdateContext& update, StagedScan::Mode mode) {
  auto staged = check_update_folder(update.installation);
  if (!staged) return fail(staged.error());
  auto scan = scanned(update, *staged, mode);
  if (!scan) return scan;
  if (auto complete = check_staged_version(update.logger, update.installation); !complete) {
    return fail(complete.error());
  }
  return scan;
}

// What is left in the update folder, or nothing when the folder is gone.
Result<std::optional<StagedScan>> staged_before_moving_in(const UpdateContext& update,
                                                          StagedScan::Mode mode) {
  const Installation& installation = update.installation;
  auto left = list_own_update_folder(installation);
  if (!left) {
    if (is_not_found(left.error())) return std::optional<StagedScan>();
    return fail(left.error());
  }
  auto scan = scanned(update, *left, mode);
  if (!scan) return fail(scan.error());
  FileNameSet names_left;
  for (const auto& entry : *left)
    names_left.insert(*entry.name);  // checked to be text
  StagedCheckScope scope;
  scope.still_staged = [&](std::string_view name) { return names_left.contains(name); };
  if (!names_left.contains(*path_file_name(installation.uninstall_log))) {
    scope.log_path = installation.uninstall_log;
  }
  if (auto complete = check_staged_version(update.logger, installation, scope); !complete) {
    return fail(complete.error());
  }
  return std::optional(std::move(*scan));
}

}  // namespace

Result<StagedVersion> check_staged_before_deleting(const UpdateContext& update) {
  auto scan = staged_before_deleting(update, StagedScan::Mode::Check);
  if (!scan) return fail(scan.error());
  return version_of(update.installation, *scan);
}

Result<CheckedStaged> check_before_deleting(const UpdateContext& update) {
  auto scan = staged_before_deleting(update, StagedScan::Mode::Update);
  if (!scan) return fail(scan.error());
  auto version = version_of(update.installation, *scan);
  if (!version) return fail(version.error());
  if (auto moves = check_folder_moves(update.installation); !moves) return fail(moves.error());
  return CheckedStaged{std::move(*version), std::move(*scan)};
}

Result<bool> check_staged_before_moving_in(const UpdateContext& update) {
  auto left = staged_before_moving_in(update, StagedScan::Mode::Check);
  if (!left) return fail(left.error());
  return left->has_value();
}

Result<std::optional<StagedScan>> check_before_moving_in(const UpdateContext& update) {
  auto left = staged_before_moving_in(update, StagedScan::Mode::Update);
  if (!left) return fail(left.error());
  if (!*left) return left;
  if (auto moves = check_folder_moves(update.installation); !moves) return fail(moves.error());
  return left;
}

bool volume_is_tried_out(const Installation& installation) {
  return !folder_moves_known_on_volume(installation.root);
}

Status check_updater_placement(const Installation& installation, std::string_view updater) {
  if (!deleted_by_update(installation.root, updater)) return {};
  return fail_other("The updater " + std::string(updater) + " lies in what the update of " +
                    installation.root + " deletes: it must run from elsewhere");
}

}  // namespace vellicor
