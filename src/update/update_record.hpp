#pragma once
// The record of an update in progress, a small file in the installation root, through its life.
// It is written before the first old file can go and removed after the uninstall log was
// rewritten, so that running the same command again after an interruption knows where the
// update stands, and which update it was: the record names the staged entries it began with,
// the old version's and the uninstall logs, so that a run that finds another version staged, a
// reinstalled application or a vanished update folder never takes them for the rest of the
// interrupted update (record_match).
//
// Its life: begin (a fresh update, before its first destructive step: deleting the old
// version), advance (the old version is gone: moving the new version in; the new version is in
// place, but its log's rewrite failed for a reason that may pass: rewriting it), finish (the
// update is complete); take back (an update that stopped before it deleted anything); set aside
// (a record that a reinstall made void).

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "update/record_match.hpp"
#include "update/update_record_format.hpp"

namespace vellicor {

class Logger;
struct Installation;
struct UpdateContext;

class UpdateRecord {
 public:
  explicit UpdateRecord(RecordContent content) : content_(std::move(content)) {}
  UpdateRecord(UpdatePhase phase, std::vector<StagedEntry> staged) {
    content_.phase = phase;
    content_.staged = std::move(staged);
  }

  UpdatePhase phase() const { return content_.phase; }
  const RecordContent& content() const { return content_; }

  // The record of the update in progress, or nothing when no update was interrupted. Fails, so
  // that nothing is touched, when the file is there but not one this program wrote whole, or
  // cannot be read.
  [[nodiscard]] static Result<std::optional<UpdateRecord>> read(const Installation& installation);

  // Records a fresh update, about to delete the old version, with what it begins over
  // (`start`: the uninstall logs, the old version's entries and the staged ones, as the checks
  // found them), over a superseded record if there is one. When the record cannot be written
  // whole and on the device, what was written of it is taken back (a warning where that fails
  // too: a record "deleting" over a whole old version is as safe as none).
  [[nodiscard]] static Result<UpdateRecord> begin(const UpdateContext& update, RecordContent start);

  // Records the next phase: that the old version is gone and the new one is being moved in (the
  // caller has written the removal to the device), or that the new version is in place and its
  // uninstall log is still to be rewritten.
  [[nodiscard]] Status advance(const UpdateContext& update, UpdatePhase phase);

  // Keeps the record of an update whose new version is in place but whose uninstall log could
  // not be rewritten, saying so (rewriting the uninstall log), for the next run to rewrite it.
  // Tried without asking (the update is complete); where it cannot be written, the record as it
  // stands leads the next run to the same rewrite: a warning.
  void keep_for_log_rewrite(const UpdateContext& update);

  // Removes the record of an update that stopped before it deleted anything. A record begun
  // over a superseded one stays: the installation may still be half of the earlier update, and
  // the next run must find a record to finish it by (and to accept a code path that is gone).
  void take_back(const UpdateContext& update) const;

  // Removes a record that the installation made void, so that what follows is a fresh update.
  [[nodiscard]] static Status set_aside(const UpdateContext& update);

  // Removes the record of a complete update; a failure is a warning, since a record left behind
  // only makes the next run finish the update again.
  static void finish(const UpdateContext& update);

  // Removes what a removal of the record cut short left at its temporary name (a file; nothing
  // else is the record's), durably; a failure is a warning. For a run that holds the
  // installation's lock.
  static void remove_leftover(Logger& logger, const Installation& installation);

  // Writes the record: to a new temporary file, flushed, renamed over the record, and the rename
  // flushed, so that it is on the device before the step it announces. Tries once; the
  // operations above retry, but for a flush that failed, which is final.
  [[nodiscard]] Status write(const Installation& installation) const;

  // Removes the record and its temporary file, durably. Tries once.
  [[nodiscard]] static Status remove(const Installation& installation);

 private:
  [[nodiscard]] Status write_retried(const UpdateContext& update) const;

  RecordContent content_;
  bool began_over_earlier_ = false;
};

// The installation's record as an update takes it: no record (`record` empty), or the record
// with what the installation as found says of it (`check`): one to resume, one whose new
// version is in place while another is staged (finished first), or one that is void. A record
// of an update that cannot be completed, or whose update folder holds the rest of a move-in
// that a reinstall made void, fails with the reason.
struct RecordReading {
  std::optional<UpdateRecord> record;
  RecordCheck check;
};
[[nodiscard]] Result<RecordReading> read_for_update(const Installation& installation);

// Whether the installation's root holds an update record: an update is in progress. A record
// that cannot be looked at (an error but "not found") is taken to be there.
bool update_recorded(const Installation& installation);

}  // namespace vellicor
