#pragma once
// The record of an update in progress, a small file in the installation root. It is written
// before the first old file can go and removed after the uninstall log was rewritten, so that
// running the same command again after an interruption knows where the update stands, and which
// update it was: the record names the staged entries it began with, so that a run that finds
// another version staged, a reinstalled application or a vanished update folder never takes
// them for the rest of the interrupted update.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/fs.hpp"

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

// One entry of the update folder as the update found it when it began.
struct StagedEntry {
  std::string name;
  FileIdentity identity;
  friend bool operator==(const StagedEntry&, const StagedEntry&) = default;
};

struct UpdateRecord {
  UpdatePhase phase = UpdatePhase::Deleting;
  // Every entry of the update folder when the update began. Empty in a record of an earlier
  // build of the updater, which named its phase only.
  std::vector<StagedEntry> staged;
  friend bool operator==(const UpdateRecord&, const UpdateRecord&) = default;
};

// The entries of the update folder as they are now, with their identities (`names` as listed).
[[nodiscard]] Result<std::vector<StagedEntry>> staged_entries(
    const Installation& installation, const std::vector<std::string>& names);

// The record of the update in progress, or nothing when no update was interrupted. Fails, so
// that nothing is touched, when the file is there but not one this program wrote.
[[nodiscard]] Result<std::optional<UpdateRecord>> read_update_state(
    const Installation& installation);

// True when the root next to `code_path` records an update in progress.
bool update_in_progress_next_to(std::string_view code_path);

// Records the update: written to a new temporary file, flushed, renamed over the record, and
// the rename flushed, so that the record is on the device before the step it announces.
[[nodiscard]] Status write_update_state(const Installation& installation,
                                        const UpdateRecord& record);

// Removes the record (and a leftover temporary file), durably.
[[nodiscard]] Status remove_update_state(const Installation& installation);

// What the installation as found says of a record.
enum class RecordMatch {
  Resume,      // it is what the interrupted update left: finish that update
  Stale,       // it changed since (another version staged, a reinstall): the record is void
  Incomplete,  // entries of the recorded new version are gone: nothing can complete it
};

struct RecordCheck {
  RecordMatch match = RecordMatch::Resume;
  // Stale: what tells; Incomplete: the error to report.
  std::string reason;
};

// Compares the record with the update folder and the root as they are now. An update folder
// that is not the installation's own (list_own_update_folder) fails as in a fresh update; a
// missing one is no error. A record without staged entries (an earlier build's) is taken as it
// stands.
[[nodiscard]] Result<RecordCheck> check_update_record(const Installation& installation,
                                                      const UpdateRecord& record);

}  // namespace vellicor
