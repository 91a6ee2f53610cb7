#include "update/update_check.hpp"

#include <optional>

#include "update/checks.hpp"
#include "update/installation.hpp"
#include "update/old_version.hpp"
#include "update/update_context.hpp"
#include "update/update_record.hpp"

namespace vellicor {
namespace {

// The record that the update would resume, or nothing for a fresh update.
Result<std::optional<UpdateRecord>> record_to_resume(const Installation& installation) {
  auto record = UpdateRecord::read(installation);
  if (!record || !*record) return record;
  auto check = (*record)->check(installation);
  if (!check) return fail(check.error());
  switch (check->match) {
    case RecordMatch::Resume:
      return record;
    case RecordMatch::Incomplete:
      return fail_other(check->reason);
    case RecordMatch::Superseded:
    case RecordMatch::Stale:
      break;
  }
  return std::optional<UpdateRecord>();
}

}  // namespace

Result<std::string> check_update_would_start(const UpdateContext& update,
                                             std::string_view updater) {
  const Installation& installation = update.installation;
  if (auto placed = check_updater_placement(installation, updater); !placed) {
    return fail(placed.error());
  }
  auto resume = record_to_resume(installation);
  if (!resume) return fail(resume.error());
  std::string summary = "ok: ";
  if (*resume && (*resume)->phase() == UpdatePhase::Moving) {
    auto left = check_staged_before_moving_in(update);
    if (!left) return fail(left.error());
    summary += "an interrupted update of " + installation.root +
               " is recorded, while moving in; the next update run finishes it";
  } else {
    auto staged = check_staged_before_deleting(update);
    if (!staged) return fail(staged.error());
    if (auto deletable = OldVersion::check_deletable(update); !deletable) {
      return fail(deletable.error());
    }
    summary += *resume ? "an interrupted update of " + installation.root +
                             " is recorded, while deleting; the next update run finishes it"
                       : "an update of " + installation.root + " would start, with " +
                             std::to_string(staged->size()) +
                             (staged->size() == 1 ? " staged entry" : " staged entries");
  }
  if (volume_is_tried_out(installation)) {
    summary += "; the volume's moves are tried out before its first delete";
  }
  return summary;
}

}  // namespace vellicor
