#include "update/update_check.hpp"

#include <optional>

#include "update/checks.hpp"
#include "update/installation.hpp"
#include "update/old_version.hpp"
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
  const std::optional<UpdateRecord>& resume = reading->resume;
  std::string summary = "ok: ";
  if (resume && resume->phase() == UpdatePhase::Moving) {
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
    summary += resume ? "an interrupted update of " + installation.root +
                            " is recorded, while deleting; the next update run finishes it"
                      : "an update of " + installation.root + " would start, with " +
                            std::to_string(staged->entries.size()) +
                            (staged->entries.size() == 1 ? " staged entry" : " staged entries");
  }
  if (volume_is_tried_out(installation)) {
    summary += "; the volume's moves are tried out before its first delete";
  }
  return summary;
}

}  // namespace vellicor
