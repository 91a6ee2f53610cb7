#include "update/logon_decision.hpp"

#include <string>

#include "base/fs.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"
#include "logging/logger.hpp"
#include "update/installation.hpp"
#include "update/staged_check.hpp"
#include "update/update_context.hpp"
#include "update/update_record.hpp"

namespace vellicor {
namespace {

// Only "nothing is there" counts: a file that cannot be looked at is taken to be there.
bool missing(const std::string& path) {
  const auto found = metadata(path);
  return !found && is_not_found(found.error());
}

// The uninstaller removes its own files and everything that the installer's log names; it
// knows nothing of the update folder and the record, which stay. Every update keeps both of
// the installer's files (a staged unins000.dat replaces the old one in one rename).
bool uninstalled(const Installation& installation) {
  return missing(installation.root) || (missing(installation.uninstall_log) &&
                                        missing(join_path(installation.root, "unins000.exe")));
}

}  // namespace

Result<LogonVerdict> decide_at_logon(const UpdateContext& update) {
  const Installation& installation = update.installation;
  Logger& logger = update.logger;
  if (uninstalled(installation)) {
    log_info(logger, "Started at logon for " + installation.root +
                         ", which was uninstalled since: nothing to finish");
    return LogonVerdict::NothingToDo;
  }
  auto record = UpdateRecord::read(installation);
  if (!record) return fail(record.error());
  if (!*record) {
    log_info(logger, "Started at logon with no update left to finish in " + installation.root);
    return LogonVerdict::NothingToDo;
  }
  auto check = match_record((*record)->content(), installation);
  if (!check) return fail(check.error());
  // A record whose new version is in place is finished, whatever is staged since.
  if (check->match == RecordMatch::Resume || check->match == RecordMatch::MovedIn) {
    return LogonVerdict::Finish;
  }
  if (check->match == RecordMatch::Leftover) {
    // The record stays: it is what tells a run by hand that the update folder holds no version.
    log_info(logger, check->reason);
    return LogonVerdict::NothingToDo;
  }
  if (check->match == RecordMatch::Reinstalled) {
    // The installation is the installer's since: left as it is, whatever it holds.
    log_info(logger, earlier_update_text(installation, check->reason) +
                         ": the application was installed anew; the record is set aside");
    if (auto set_aside = UpdateRecord::set_aside(update); !set_aside) {
      return fail(set_aside.error());
    }
    return LogonVerdict::NothingToDo;
  }

  const std::string void_record = check->match == RecordMatch::Incomplete
                                      ? check->reason
                                      : earlier_update_text(installation, check->reason);
  const auto not_whole =
      moved_in_over_uninstall_log((*record)->content(), installation)
          ? std::optional<std::string>("its update was moving the new version in over that log")
          : why_not_whole(installation);
  if (not_whole) {
    log_info(logger, "The installation at " + installation.root +
                         " is not whole by its uninstall log: " + *not_whole);
    if (check->match == RecordMatch::Incomplete) return fail_other(check->reason);
    return fail_other(void_record + ": a run at logon finishes no other update");
  }
  log_info(logger, void_record + "; the installation is whole by its uninstall log: the record " +
                       "is set aside");
  if (auto set_aside = UpdateRecord::set_aside(update); !set_aside) {
    return fail(set_aside.error());
  }
  return LogonVerdict::NothingToDo;
}

}  // namespace vellicor
