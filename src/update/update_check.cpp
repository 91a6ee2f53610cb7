#include "update/update_check.hpp"

#include <optional>

#include "update/checks.hpp"
#include "update/installation.hpp"
#include "update/old_version.hpp"
#include "update/record_match.hpp"
#include "update/update_context.hpp"
#include "update/update_record.hpp"

namespace vellicor {

Result<std::string> check_update_would_start(const UpdateContext& update,
                                             std::string_view updater) {
  const Installation& installation = update.installation;
  if (auto placed = check_updater_placement(installation, updater); !placed) {
    return fail(placed.error());
  }
  auto reading = read_for_update(installation);
  if (!reading) return fail(reading.error());
  const std::optional<UpdateRecord>& record = reading->record;
  const RecordMatch match = record ? reading->check.match : RecordMatch::Superseded;
  const std::string recorded = "an interrupted update of " + installation.root + " is recorded, ";
  std::string summary = "ok: ";
  if (match == RecordMatch::Resume && record->phase() != UpdatePhase::Deleting) {
    auto left = check_staged_before_moving_in(update);
    if (!left) return fail(left.error());
    summary += recorded +
               (record->phase() == UpdatePhase::Moving ? "while moving in"
                                                       : "while rewriting the uninstall log") +
               "; the next update run finishes it";
  } else {
    // A fresh update, one resumed while deleting, or the one that follows an update whose new
    // version is in place: the old version for it is what the root holds now.
    auto staged = check_staged_before_deleting(update);
    if (!staged) return fail(staged.error());
    if (auto deletable = OldVersion::check_deletable(update); !deletable) {
      return fail(deletable.error());
    }
    const std::string fresh = "an update of " + installation.root + " would start, with " +
                              std::to_string(staged->entries.size()) +
                              (staged->entries.size() == 1 ? " staged entry" : " staged entries");
    summary += match == RecordMatch::Resume
                   ? recorded + "while deleting; the next update run finishes it"
               : match == RecordMatch::MovedIn
                   ? recorded + "its new version in place; the next update run finishes it, " +
                         "then " + fresh
                   : fresh;
  }
  if (volume_is_tried_out(installation)) {
    summary += "; the volume's moves are tried out before its first delete";
  }
  return summary;
}

}  // namespace vellicor
