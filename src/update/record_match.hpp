#pragma once
// An update record held against the installation as a run finds it: whether it is still what
// the interrupted update left, so that the same command may finish that update, or whether
// another version was staged, the application installed anew or the installation changed
// since. A resume deletes and replaces only what the record knows.

#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "update/update_record_format.hpp"

namespace vellicor {

struct Installation;

// What the installation as found says of a record.
enum class RecordMatch {
  Resume,       // it is what the interrupted update left: finish that update
  MovedIn,      // its new version is in place whole (its log not yet rewritten), and another
                // version is staged since: finish that update, then what is staged is a fresh
                // one
  Superseded,   // while it was deleting, another version was staged, or the root came to hold
                // what the update would delete and did not begin with: a fresh update, which
                // records itself over this record (until then the installation may be half of
                // that update)
  Stale,        // its moved entries are other files now and nothing is staged: the application
                // was installed anew, the record is void
  Reinstalled,  // the installer wrote the root's uninstall log since: the installation is the
                // installer's, and the record is void; what the update folder holds is no part
                // of it (nothing of it had moved, or nothing of it is left)
  Leftover,     // the same, but the update folder still holds a part of the update's new
                // version, the rest of a move-in that had begun: no version to install, and
                // the record stays to say so
  Incomplete,   // entries of the recorded new version are gone, or something else is in their
                // place, or part of it is in place and the update folder changed since: nothing
                // can complete it
};

struct RecordCheck {
  RecordMatch match = RecordMatch::Resume;
  // MovedIn, Superseded, Stale, Reinstalled: what tells; Leftover, Incomplete: the error to
  // report.
  std::string reason;
};

// Compares the record with the update folder and the root as they are now, in three checks: the
// logs (while the resume has something to delete or move, the root's uninstall log must be one
// the record knows: the one it began over, or the staged one moved in), the update folder
// (every entry one the update began with, as it was staged) and the root (while deleting, every
// entry it would delete one of the old version the record knows; while moving, every staged
// entry no longer in the update folder in its place in the root). An entry is the recorded one
// by its identity, or, where every number changed since (a copy or restore of the
// installation), by the stamp the record keeps: kind, size and time; the uninstall log by size
// and time where the record keeps them. Once the move-in has begun, a change of the update
// folder never makes the record a fresh update: what was moved in is the new version. An
// update folder that is not the installation's own (list_own_update_folder) fails as in a fresh
// update; a missing one is no error. A record of an earlier build without staged entries is
// taken as it stands. Fails when an identity that it needs cannot be read.
[[nodiscard]] Result<RecordCheck> match_record(const RecordContent& record,
                                               const Installation& installation);

// Whether the update had begun to move the new version in while the root still holds the
// uninstall log that it began over: entries of the new version that carry the old names may be in
// place already, so that the installation is a mix of two versions, whatever names its log finds.
bool moved_in_over_uninstall_log(const RecordContent& record, const Installation& installation);

// The uninstall log at `path` as a record knows it (identity and stamp), or nothing when there
// is none.
[[nodiscard]] Result<std::optional<RecordedLog>> recorded_log(const std::string& path);

// "The update record <path> belongs to an earlier update (<reason>)", where `reason` is what a
// check found superseded, stale or reinstalled.
std::string earlier_update_text(const Installation& installation, std::string_view reason);

}  // namespace vellicor
