#include "update/record_match.hpp"

#include <string>
#include <unordered_map>
#include <vector>

#include "base/fs.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"
#include "update/installation.hpp"

namespace vellicor {
namespace {

constexpr std::string_view kUninstallLogName = "unins000.dat";

// Recorded entries, each found by its name in one look; of two entries with names that compare
// equal, the first.
class EntriesByName {
 public:
  explicit EntriesByName(const std::vector<StagedEntry>& entries) {
    for (const auto& entry : entries)
      entries_.try_emplace(file_name_key(entry.name), &entry);
  }
  const StagedEntry* find(std::string_view name) const {
    const auto found = entries_.find(file_name_key(name));
    return found == entries_.end() ? nullptr : found->second;
  }

 private:
  std::unordered_map<std::string, const StagedEntry*> entries_;
};

// The identity of the entry at `path`, or nothing when nothing is there.
Result<std::optional<EntryIdentity>> identity_if_present(const std::string& path,
                                                         FolderTraits folders) {
  auto identity = entry_identity(path, folders);
  if (identity) return std::optional(*identity);
  if (is_not_found(identity.error())) return std::optional<EntryIdentity>();
  return fail(identity.error());
}

// The entries of the update folder; none when it is missing.
Result<std::vector<DirEntry>> update_folder_entries(const Installation& installation) {
  auto entries = list_own_update_folder(installation);
  if (entries || !is_not_found(entries.error())) return entries;
  return std::vector<DirEntry>();
}

// "The interrupted update cannot be completed: 3 entries of its new version are missing, the
// first <path>"
std::string cannot_complete(size_t count, std::string_view what, const std::string& first) {
  return "The interrupted update cannot be completed: " + std::to_string(count) +
         (count == 1 ? " entry of its new version is " : " entries of its new version are ") +
         std::string(what) + ", the first " + first;
}

bool same_log(const RecordedLog& recorded, const RecordedLog& now) {
  return same_entry(recorded.identity, now.identity) &&
         (!recorded.stamp || recorded.stamp == now.stamp);
}

// The uninstall logs that the root may hold while the update is cut short: the one it began
// over, and once it was moving in the staged one (records of earlier builds name it among the
// staged entries, without a stamp).
std::vector<RecordedLog> known_logs(const RecordContent& record) {
  std::vector<RecordedLog> known;
  if (record.began_over) known.push_back(*record.began_over);
  if (record.phase != UpdatePhase::Moving) return known;
  if (record.staged_log) {
    known.push_back(*record.staged_log);
  } else if (!record.knows_installation) {
    for (const auto& entry : record.staged) {
      if (file_names_equal(entry.name, kUninstallLogName)) known.push_back({entry.identity, {}});
    }
  }
  return known;
}

// Whether the root's uninstall log is one the record knows; the installer writes its own, anew
// or over the old one, whenever it installs. Records of the earliest builds knew none.
Result<bool> log_is_known(const RecordContent& record, const Installation& installation) {
  if (!record.knows_installation && !record.began_over) return true;
  auto now = recorded_log(installation.uninstall_log);
  if (!now) return fail(now.error());
  // No log at all is no installer's work (an uninstall removes the uninstaller too).
  if (!*now) return true;
  for (const auto& known : known_logs(record)) {
    if (same_log(known, **now)) return true;
  }
  return false;
}

// The first entry of the root that a resume while deleting would delete and that is not an
// entry of the old version as the record knows it; an empty text when there is none. Links and
// mount points stay, as in every update.
Result<std::string> unknown_old_entry(const RecordContent& record,
                                      const Installation& installation) {
  auto entries = list_directory(installation.root);
  if (!entries) return fail(entries.error());
  const EntriesByName old(record.old_entries);
  for (const auto& entry : *entries) {
    if (!entry.name || entry.kind == EntryKind::Link) continue;
    if (is_kept_entry(*entry.name) || is_updater_file(installation, *entry.name)) continue;
    const std::string path = join_path(installation.root, *entry.name);
    const StagedEntry* known = old.find(*entry.name);
    if (!known) return path;
    auto identity = identity_if_present(path, FolderTraits::KindOnly);
    if (!identity) return fail(identity.error());
    if (*identity && !same_entry(**identity, known->identity)) return path;
  }
  return std::string();
}

// The first entry of the root that a resume while moving would replace although it is none of
// the update's own: an entry of the name of one still staged, but for a kept file (which the
// staged one replaces in every update) and a link (which a fresh update replaces too).
Result<std::string> entry_in_the_way(const Installation& installation,
                                     const std::vector<DirEntry>& left) {
  for (const auto& entry : left) {
    if (!entry.name || is_kept_entry(*entry.name)) continue;
    const std::string path = join_path(installation.root, *entry.name);
    auto traits = entry_traits(path);
    if (!traits) {
      if (is_not_found(traits.error())) continue;
      return fail(traits.error());
    }
    if (traits->kind != EntryKind::Link) return path;
  }
  return std::string();
}

}  // namespace

Result<std::optional<RecordedLog>> recorded_log(const std::string& path) {
  auto identity = identity_if_present(path, FolderTraits::Digest);
  if (!identity) return fail(identity.error());
  if (!*identity) return std::optional<RecordedLog>();
  auto traits = entry_traits(path);
  if (!traits) return fail(traits.error());
  return std::optional(RecordedLog{**identity, FileStamp{traits->size, traits->modified}});
}

std::string earlier_update_text(const Installation& installation, std::string_view reason) {
  return "The update record " + installation.update_record + " belongs to an earlier update (" +
         std::string(reason) + ")";
}

bool moved_in_over_uninstall_log(const RecordContent& record, const Installation& installation) {
  if (record.phase != UpdatePhase::Moving || !record.began_over) return false;
  auto log = recorded_log(installation.uninstall_log);
  // A log that cannot be looked at is no proof of a mix; why_not_whole reads it.
  return log && *log && same_log(*record.began_over, **log);
}

Result<RecordCheck> match_record(const RecordContent& record, const Installation& installation) {
  if (record.staged.empty() && !record.knows_installation) return RecordCheck{};
  auto found = update_folder_entries(installation);
  if (!found) return fail(found.error());

  // What the resume has left to do: deleting the old version, or moving what is still staged.
  // Once nothing is left to move it rewrites the uninstall log alone, whoever wrote it.
  if (record.phase == UpdatePhase::Deleting || !found->empty()) {
    auto known = log_is_known(record, installation);
    if (!known) return fail(known.error());
    if (!*known) {
      return RecordCheck{RecordMatch::Reinstalled,
                         installation.uninstall_log + " was written since"};
    }
  }

  // Every entry of the update folder must be one the update began with. The entries the update
  // keeps (a staged unins000.dat) are told by their names alone: the uninstall log is rewritten
  // into a file made new once it is in the root.
  const EntriesByName by_name(record.staged);
  for (const auto& entry : *found) {
    const StagedEntry* staged = entry.name ? by_name.find(*entry.name) : nullptr;
    if (staged && is_kept_entry(staged->name)) continue;
    if (staged) {
      auto identity = entry_identity(join_path(installation.update_folder, staged->name));
      if (!identity) return fail(identity.error());
      if (same_entry(*identity, staged->identity)) continue;
    }
    const std::string path =
        join_path(installation.update_folder, entry.name.value_or("(a name that is not text)"));
    return RecordCheck{RecordMatch::Superseded, path + " is not an entry it began with"};
  }

  // What the resume deletes or replaces in the root must be the update's own.
  if (record.phase == UpdatePhase::Deleting && record.knows_installation) {
    auto unknown = unknown_old_entry(record, installation);
    if (!unknown) return fail(unknown.error());
    if (!unknown->empty()) {
      return RecordCheck{RecordMatch::Superseded,
                         *unknown + " is not an entry of the version it was deleting"};
    }
  }
  if (record.phase == UpdatePhase::Moving) {
    auto in_the_way = entry_in_the_way(installation, *found);
    if (!in_the_way) return fail(in_the_way.error());
    if (!in_the_way->empty()) {
      return RecordCheck{RecordMatch::Incomplete,
                         "The interrupted update cannot be completed: " + *in_the_way +
                             " is not its own, and its new version would replace it"};
    }
  }

  // Every other entry it began with was moved into the root: while deleting, none yet.
  size_t missing = 0, replaced = 0;
  std::string first_missing, first_replaced;
  FileNameSet pending;
  for (const auto& entry : *found) {
    if (entry.name) pending.insert(*entry.name);
  }
  for (const auto& staged : record.staged) {
    if (pending.contains(staged.name) || is_kept_entry(staged.name)) continue;
    const std::string in_root = join_path(installation.root, staged.name);
    std::optional<EntryIdentity> identity;
    if (record.phase == UpdatePhase::Moving) {
      auto present = identity_if_present(in_root, FolderTraits::Digest);
      if (!present) return fail(present.error());
      identity = *present;
    }
    if (identity && same_entry(*identity, staged.identity)) continue;
    if (identity) {
      if (replaced++ == 0) first_replaced = in_root;
    } else if (missing++ == 0) {
      first_missing = join_path(installation.update_folder, staged.name);
    }
  }
  // Its moved entries replaced and nothing staged: the application was installed anew.
  if (replaced > 0 && found->empty()) {
    return RecordCheck{RecordMatch::Stale, first_replaced + " was replaced since"};
  }
  if (missing > 0) {
    return RecordCheck{RecordMatch::Incomplete, cannot_complete(missing, "missing", first_missing)};
  }
  if (replaced > 0) {
    return RecordCheck{RecordMatch::Incomplete,
                       cannot_complete(replaced, "replaced", first_replaced)};
  }
  return RecordCheck{};
}

}  // namespace vellicor
