#pragma once
// The record of an update in progress, a small file in the installation root. It is written
// before the first old file can go and removed after the uninstall log was rewritten, so that
// running the same command again after an interruption knows where the update stands, and which
// update it was: the record names the staged entries it began with, so that a run that finds
// another version staged, a reinstalled application or a vanished update folder never takes
// them for the rest of the interrupted update.
//
// Its life: begin (a fresh update, before its first destructive step: deleting the old
// version), advance (the old version is gone: moving the new version in), finish (the update is
// complete); take back (an update that stopped before it deleted anything); set aside (a record
// that a reinstall made stale).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/fs.hpp"

namespace vellicor {

struct Installation;
struct UpdateContext;

// Where an interrupted update goes on: deleting the old version (the new one is still whole in
// the update folder), or moving the new version in (the old one is gone entirely).
enum class UpdatePhase { Deleting, Moving };

// "deleting the old version", "moving the new version in"
std::string_view phase_text(UpdatePhase phase);

// One entry of the update folder as the update found it when it began.
struct StagedEntry {
  std::string name;
  EntryIdentity identity;
};

// What the installation as found says of a record.
enum class RecordMatch {
  Resume,      // it is what the interrupted update left: finish that update
  Superseded,  // another version is staged since: a fresh update of it, which records itself
               // over this record (until then the installation may be half of that update)
  Stale,       // the application was installed anew since: the record is void
  Incomplete,  // entries of the recorded new version are gone: nothing can complete it
};

struct RecordCheck {
  RecordMatch match = RecordMatch::Resume;
  // Superseded, Stale: what tells; Incomplete: the error to report.
  std::string reason;
};

class UpdateRecord {
 public:
  UpdateRecord(UpdatePhase phase, std::vector<StagedEntry> staged)
      : phase_(phase), staged_(std::move(staged)) {}

  UpdatePhase phase() const { return phase_; }
  // Every entry of the update folder when the update began. Empty in a record of an earlier
  // build of the updater, which named its phase only.
  const std::vector<StagedEntry>& staged() const { return staged_; }

  // The identity of the root's uninstall log when the update began (nothing where there was
  // none, and in a record of an earlier build).
  const std::optional<EntryIdentity>& uninstall_log() const { return uninstall_log_; }
  void set_uninstall_log(std::optional<EntryIdentity> log) { uninstall_log_ = log; }

  // Whether the update was moving the new version in while the root still holds the uninstall
  // log that it began over: entries of the new version that carry the old names may be in
  // place already, so that the installation is a mix of two versions, whatever names its log
  // finds.
  bool moved_in_over_uninstall_log(const Installation& installation) const;

  // The record of the update in progress, or nothing when no update was interrupted. Fails, so
  // that nothing is touched, when the file is there but not one this program wrote.
  [[nodiscard]] static Result<std::optional<UpdateRecord>> read(const Installation& installation);

  // Compares the record with the update folder and the root as they are now. An update folder
  // that is not the installation's own (list_own_update_folder) fails as in a fresh update; a
  // missing one is no error. A record without staged entries is taken as it stands.
  [[nodiscard]] Result<RecordCheck> check(const Installation& installation) const;

  // Records a fresh update, about to delete the old version, with the staged entries as they
  // are now (`names` as listed), over a superseded record if there is one.
  [[nodiscard]] static Result<UpdateRecord> begin(const UpdateContext& update,
                                                  const std::vector<std::string>& names);

  // Records that the old version is gone and the new one is being moved in, once the removal
  // is on the device.
  [[nodiscard]] Status advance(const UpdateContext& update);

  // Removes the record of an update that stopped before it deleted anything. A record begun
  // over a superseded one stays: the installation may still be half of the earlier update, and
  // the next run must find a record to finish it by (and to accept a code path that is gone).
  void take_back(const UpdateContext& update) const;

  // Removes a stale record, so that what follows is a fresh update.
  [[nodiscard]] static Status set_aside(const UpdateContext& update);

  // Removes the record of a complete update; a failure is a warning, since a record left behind
  // only makes the next run finish the update again.
  static void finish(const UpdateContext& update);

  // Writes the record: to a new temporary file, flushed, renamed over the record, and the rename
  // flushed, so that it is on the device before the step it announces. Tries once; the
  // operations above retry.
  [[nodiscard]] Status write(const Installation& installation) const;

  // Removes the record (and a leftover temporary file), durably. Tries once.
  [[nodiscard]] static Status remove(const Installation& installation);

 private:
  [[nodiscard]] Status write_retried(const UpdateContext& update) const;

  UpdatePhase phase_;
  std::vector<StagedEntry> staged_;
  std::optional<EntryIdentity> uninstall_log_;
  bool began_over_earlier_ = false;
};

// "The update record <path> belongs to an earlier update (<reason>)", where `reason` is what a
// check found superseded or stale.
std::string earlier_update_text(const Installation& installation, std::string_view reason);

// The installation's record as an update takes it: the record of the interrupted update to
// finish (`resume`), or nothing to resume: no record, or one that the installation as found
// says is superseded or stale (`passed_over` says which and why). A record of an update that
// cannot be completed fails with the reason.
struct RecordReading {
  std::optional<UpdateRecord> resume;
  std::optional<RecordCheck> passed_over;
};
[[nodiscard]] Result<RecordReading> read_for_update(const Installation& installation);

// True when the installation's root holds an update record: an update is in progress.
bool update_recorded(const Installation& installation);

}  // namespace vellicor
