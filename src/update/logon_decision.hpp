#pragma once
// What a run that nobody asked for, the one the system starts at logon, may do with an
// installation: it acts on the installation's update record alone, and decides before any
// process is waited for or ended.

#include "base/error.hpp"

namespace vellicor {

struct UpdateContext;

enum class LogonVerdict {
  NothingToDo,  // nothing that a record began is left: the run ends with the installation as is
  Finish,       // the record's update resumes (do_update with UpdateAuthority::Record)
};

// Under the installation's lock (unless its root is gone). Nothing to do, with one INFO line
// that says why: the installation was uninstalled (its root is gone, or both of the installer's
// own files, unins000.dat and unins000.exe, are); it holds no update record, whatever its
// update folder holds; the installer wrote its uninstall log since the record began, when the
// record is set aside, whatever the installation holds (but while the update folder holds the
// rest of a move-in that had begun, which the record stays to tell, with an INFO line that says
// what to do); or its record is void (superseded,
// stale, or its update cannot be completed) while the installation is whole by its own
// uninstall log (why_not_whole; never while the update was moving the new version in over the
// log that is still there, whose names entries of the new version may carry by now), when the
// record is set aside. Finish when the record says that its update resumes, or that its new
// version is in place (whatever is staged since: only that update is finished). Fails, with
// nothing changed, when the record is unreadable or the update folder not the installation's
// own; when the recorded update cannot be completed and the installation is not whole (the
// record's own error, after an INFO line that says what is missing); and when another update
// was staged over the recorded one, or the application installed anew, and the installation
// is not whole: "The update record <path> belongs to an earlier update (<reason>): a run at
// logon finishes no other update".
[[nodiscard]] Result<LogonVerdict> decide_at_logon(const UpdateContext& update);

}  // namespace vellicor
