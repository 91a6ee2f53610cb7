#include "update/record_match.hpp"

#include <string>
#include <unordered_map>
#include <vector>

#include "base/entry_identity.hpp"
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

// Where a recorded entry stands at a path now.
enum class Found { Nothing, AsRecorded, Other };

// Whether an entry's traits now are those that the record stamped: the kind, a file's size and
// time, a folder's time (a folder whose contents go meanwhile, by its kind alone).
bool stamp_matches(const EntryStamp& recorded, const EntryTraits& now, FolderTraits folders) {
  if (recorded.kind != now.kind) return false;
  if (now.kind == EntryKind::Directory) {
    return folders == FolderTraits::KindOnly || recorded.modified == now.modified;
  }
  return recorded.size == now.size && recorded.modified == now.modified;
}

// How the record's entries are told from others: by their identities, or, in an installation
// copied since the update began (a restore from a backup, a move to another disk: not one entry
// that the record knows by its number is where it was, while entries of the record's names
// are there), by the stamps that the record keeps: kind, size and time, which a copy keeps and
// a program that writes an entry anew does not. Only a whole copy: in an installation that kept
// its numbers an entry with a new number is another entry, however like the old one it looks
// (a folder made anew within one tick of a coarse clock).
class Lookup {
 public:
  static Result<Lookup> of(const RecordContent& record, const Installation& installation) {
    bool present = false;
    // The first entry found by its number ends the look: the installation kept its numbers.
    const auto numbered = [&](const StagedEntry& entry, const std::string& path) -> Result<bool> {
      if (!entry.stamp || entry.identity.basis != EntryIdentity::Basis::Number) return false;
      auto identity = identity_if_present(path, FolderTraits::KindOnly);
      if (!identity) return fail(identity.error());
      present = present || identity->has_value();
      return *identity && same_entry(**identity, entry.identity);
    };
    for (const auto& entry : record.staged) {
      for (const auto& folder : {installation.update_folder, installation.root}) {
        auto found = numbered(entry, join_path(folder, entry.name));
        if (!found) return fail(found.error());
        if (*found) return Lookup(false);
      }
    }
    for (const auto& entry : record.old_entries) {
      auto found = numbered(entry, join_path(installation.root, entry.name));
      if (!found) return fail(found.error());
      if (*found) return Lookup(false);
    }
    return Lookup(present);
  }

  // Where the recorded entry stands at `path`.
  Result<Found> find(const StagedEntry& recorded, const std::string& path,
                     FolderTraits folders) const {
    auto identity = identity_if_present(path, folders);
    if (!identity) return fail(identity.error());
    if (!*identity) return Found::Nothing;
    if (same_entry(**identity, recorded.identity)) return Found::AsRecorded;
    if (!by_stamps_ || !recorded.stamp) return Found::Other;
    auto traits = entry_traits(path);
    if (!traits) return fail(traits.error());
    return stamp_matches(*recorded.stamp, *traits, folders) ? Found::AsRecorded : Found::Other;
  }

  // The same log: by its identity, and its size and time where the record keeps them (the
  // installer writes its log anew, or over the old one); in a copy by its size and time alone.
  bool same_log(const RecordedLog& recorded, const RecordedLog& now) const {
    if (recorded.stamp && recorded.stamp != now.stamp) return false;
    return (by_stamps_ && recorded.stamp) || same_entry(recorded.identity, now.identity);
  }

 private:
  explicit Lookup(bool by_stamps) : by_stamps_(by_stamps) {}
  bool by_stamps_;
};

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

// The uninstall logs that the root may hold while the update is cut short: the one it began
// over, and once it was moving in the staged one (records of earlier builds name it among the
// staged entries, without a stamp).
std::vector<RecordedLog> known_logs(const RecordContent& record) {
  std::vector<RecordedLog> known;
  if (record.began_over) known.push_back(*record.began_over);
  if (record.phase == UpdatePhase::Deleting) return known;
  if (record.staged_log) {
    known.push_back(*record.staged_log);
  } else if (!record.knows_installation) {
    for (const auto& entry : record.staged) {
      if (file_names_equal(entry.name, kUninstallLogName)) known.push_back({entry.identity, {}});
    }
  }
  return known;
}

// Check 1, the logs: whether the root's uninstall log is one the record knows; the installer
// writes its own, anew or over the old one, whenever it installs. Records of the earliest builds
// knew none.
Result<bool> log_is_known(const RecordContent& record, const Installation& installation,
                          const Lookup& lookup) {
  if (!record.knows_installation && !record.began_over) return true;
  auto now = recorded_log(installation.uninstall_log);
  if (!now) return fail(now.error());
  // No log at all is no installer's work (an uninstall removes the uninstaller too).
  if (!*now) return true;
  for (const auto& known : known_logs(record)) {
    if (lookup.same_log(known, **now)) return true;
  }
  return false;
}

// Check 2, the update folder: the recorded entries that it still holds as they were staged, and
// the first entry that the record does not know or that is not as it was staged.
struct StagedState {
  FileNameSet as_staged;  // names of the record's
  FileNameSet names;      // every name the folder holds
  std::string first_change;
};

Result<StagedState> staged_state(const RecordContent& record, const Installation& installation,
                                 const std::vector<DirEntry>& found, const Lookup& lookup) {
  const EntriesByName by_name(record.staged);
  StagedState state;
  for (const auto& entry : found) {
    const std::string path =
        join_path(installation.update_folder, entry.name.value_or("(a name that is not text)"));
    const StagedEntry* staged = entry.name ? by_name.find(*entry.name) : nullptr;
    if (entry.name) state.names.insert(*entry.name);
    Found look = Found::Other;
    if (staged) {
      auto looked = lookup.find(*staged, path, FolderTraits::Digest);
      if (!looked) return fail(looked.error());
      look = *looked;
    }
    if (look == Found::AsRecorded) {
      state.as_staged.insert(staged->name);
    } else if (look == Found::Other && state.first_change.empty()) {
      state.first_change =
          path + (staged ? " is not as it was staged" : " is not an entry it began with");
    }
  }
  return state;
}

// Check 3 while deleting: the first entry of the root that a resume would delete and that is
// not an entry of the old version as the record knows it; an empty text when there is none.
// Links and mount points stay, as in every update.
Result<std::string> unknown_old_entry(const RecordContent& record, const Installation& installation,
                                      const Lookup& lookup) {
  auto entries = list_directory(installation.root);
  if (!entries) return fail(entries.error());
  const EntriesByName old(record.old_entries);
  for (const auto& entry : *entries) {
    if (!entry.name || entry.kind == EntryKind::Link) continue;
    if (is_kept_entry(*entry.name) || is_updater_file(installation, *entry.name)) continue;
    const std::string path = join_path(installation.root, *entry.name);
    const StagedEntry* known = old.find(*entry.name);
    if (!known) return path;
    auto look = lookup.find(*known, path, FolderTraits::KindOnly);
    if (!look) return fail(look.error());
    if (*look == Found::Other) return path;
  }
  return std::string();
}

Result<RecordCheck> while_deleting(const RecordContent& record, const Installation& installation,
                                   const StagedState& staged, const Lookup& lookup) {
  // Nothing was moved in yet: another version staged is a fresh update.
  if (!staged.first_change.empty())
    return RecordCheck{RecordMatch::Superseded, staged.first_change};
  if (record.knows_installation) {
    auto unknown = unknown_old_entry(record, installation, lookup);
    if (!unknown) return fail(unknown.error());
    if (!unknown->empty()) {
      return RecordCheck{RecordMatch::Superseded,
                         *unknown + " is not an entry of the version it was deleting"};
    }
  }
  size_t missing = 0;
  std::string first_missing;
  for (const auto& entry : record.staged) {
    if (staged.names.contains(entry.name) || is_kept_entry(entry.name)) continue;
    if (missing++ == 0) first_missing = join_path(installation.update_folder, entry.name);
  }
  if (missing > 0) {
    return RecordCheck{RecordMatch::Incomplete, cannot_complete(missing, "missing", first_missing)};
  }
  return RecordCheck{};
}

// Check 3 while moving in (or rewriting the log): every staged entry that is not in the update
// folder as it was staged is in the root as it was staged. A kept entry (the staged
// unins000.dat) is told by its name alone there: its rewrite makes the file anew.
Result<RecordCheck> while_moving(const RecordContent& record, const Installation& installation,
                                 const std::vector<DirEntry>& found, const StagedState& staged,
                                 const Lookup& lookup) {
  size_t missing = 0, replaced = 0, still_staged = 0;
  std::string first_missing, first_replaced;
  for (const auto& entry : record.staged) {
    if (staged.as_staged.contains(entry.name)) {
      ++still_staged;
      continue;
    }
    if (is_kept_entry(entry.name)) continue;
    const std::string in_root = join_path(installation.root, entry.name);
    auto look = lookup.find(entry, in_root, FolderTraits::Digest);
    if (!look) return fail(look.error());
    if (*look == Found::AsRecorded) continue;
    if (*look == Found::Other) {
      if (replaced++ == 0) first_replaced = in_root;
    } else if (missing++ == 0) {
      first_missing = join_path(installation.update_folder, entry.name);
    }
  }
  if (!staged.first_change.empty()) {
    // What was moved in is the new version: only a move-in that is complete lets what is staged
    // now be another update.
    if (still_staged == 0 && missing == 0 && replaced == 0) {
      return RecordCheck{RecordMatch::MovedIn, staged.first_change};
    }
    return RecordCheck{RecordMatch::Incomplete,
                       "The interrupted update cannot be completed: its new version is in part "
                       "in place, and " +
                           staged.first_change};
  }
  // Its moved entries replaced and nothing staged: the application was installed anew.
  if (replaced > 0 && found.empty()) {
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

// A record that the installer's log made void. Once the move-in had begun, what the update
// folder still holds of the update is a part of its new version: installed only where it is
// all of it (nothing had moved), and passed over where none of it is left (the application
// staged anew).
RecordCheck after_reinstall(const RecordContent& record, const Installation& installation,
                            const StagedState& staged) {
  const std::string reason = installation.uninstall_log + " was written since";
  const size_t left = staged.as_staged.size();
  if (record.phase == UpdatePhase::Deleting || left == 0 || left == record.staged.size()) {
    return RecordCheck{RecordMatch::Reinstalled, reason};
  }
  return RecordCheck{RecordMatch::Leftover,
                     earlier_update_text(installation, reason) + ": " + installation.update_folder +
                         " holds the rest of its new version, which is no version to install: "
                         "remove " +
                         installation.update_folder + ", or let the application stage again"};
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
  if (record.phase == UpdatePhase::Deleting || !record.began_over) return false;
  auto log = recorded_log(installation.uninstall_log);
  // A log that cannot be looked at is no proof of a mix; why_not_whole reads it.
  if (!log || !*log) return false;
  // Where the record keeps the log's size and time they tell it, in a copy of the installation
  // too: a mix is proven more often, never less.
  const RecordedLog& began = *record.began_over;
  return began.stamp ? began.stamp == (*log)->stamp : same_entry(began.identity, (*log)->identity);
}

Result<RecordCheck> match_record(const RecordContent& record, const Installation& installation) {
  if (record.staged.empty() && !record.knows_installation) return RecordCheck{};
  auto found = update_folder_entries(installation);
  if (!found) return fail(found.error());
  auto lookup = Lookup::of(record, installation);
  if (!lookup) return fail(lookup.error());
  auto staged = staged_state(record, installation, *found, *lookup);
  if (!staged) return fail(staged.error());

  // What the resume has left to do: deleting the old version, or moving what is still staged.
  // Once nothing is left to move it rewrites the uninstall log alone, whoever wrote it.
  if (record.phase == UpdatePhase::Deleting || !found->empty()) {
    auto known = log_is_known(record, installation, *lookup);
    if (!known) return fail(known.error());
    if (!*known) return after_reinstall(record, installation, *staged);
  }
  if (record.phase == UpdatePhase::Deleting) {
    return while_deleting(record, installation, *staged, *lookup);
  }
  return while_moving(record, installation, *found, *staged, *lookup);
}

}  // namespace vellicor
