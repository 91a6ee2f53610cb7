#include "update/do_update.hpp"

// The phases of an update, read top-down below: interrupted_update (where an earlier run stands),
// delete_old_version (check_before_deleting, OldVersion collect / mark / remove), the move-in
// (move_new_version_in, remove_update_folder), patch_uninst_dat, UpdateRecord::finish.
//
// How an update survives being cut short. The update records itself in a file of the root
// (UpdateRecord) before the first old file can go: its phase, and every entry of the update
// folder with its identity. It records the next phase before moving anything in and removes the
// record last; a second update of the same installation cannot run meanwhile (UpdateLock).
// Running the same command again after any interruption (a kill, a crash, a power cut, a
// failure once its cause is gone) finishes the update, and only that update: the next run
// first compares the record with the update folder and the root as it finds them.
//
//   on disk when interrupted                        what the next run does
//   ----------------------------------------------  ----------------------------------------
//   no record; old version whole, "_" whole         a fresh update (a failure that deleted
//   (checking, collecting, or a failure that        nothing takes its record back)
//   unmarked every file again)
//   record "deleting"; old version in part or       deletes what is left of the old version,
//   whole, "_" whole (marking, closing, removing    then goes on as a fresh update; the code
//   directories; Windows deletes marked files      path may be gone already and is accepted
//   when the process ends)                          when the record is there
//   record "moving"; no old file, the new version   moves what is left in "_" (if "_" is still
//   in part in the root, the rest in "_" (moving,   there), removes "_", rewrites the
//   removing "_", rewriting the uninstall log)      uninstall log (rebasing an already
//                                                   rebased log changes nothing: no staged
//                                                   entry may be named "_"), removes the
//                                                   record
//   record "rewriting the uninstall log"; the new   rewrites the uninstall log, removes the
//   version in place (its rewrite failed for a      record (at logon too: the registration
//   reason that may pass: a full disk, a file in    stays with the record)
//   the way)
//   no record; the update complete                  nothing is staged: fails as any update
//                                                   without an update folder
//
// What may have changed before that run, and what it does then. Once the move-in began, what
// the record lists as staged is the new version, in the root or still in "_": no run deletes or
// replaces it as the old version.
//
//   found                                           what the run does
//   ----------------------------------------------  ----------------------------------------
//   while deleting: "_" holds an entry the record   the record is superseded: one INFO line,
//   does not name, or one that is another file by   and a fresh update of what is staged now,
//   now (another version staged, over the rest or   with all its checks, whose own record
//   anew)                                           replaces it (until then, and after a
//                                                   failure, a record stays for the next run)
//   while moving: the same, and part of the new     the update cannot be completed: an error
//   version is in place or still staged             that names the entry, nothing touched
//                                                   (undoing the change lets the same command
//                                                   finish)
//   while moving: the same, and every staged entry  the update is finished (its log
//   is in its place in the root                     rewritten, its record removed), then a
//                                                   fresh update of what is staged now (at
//                                                   logon: nothing more)
//   "_" empty or gone, and entries the update had   the record is stale: one INFO line, it is
//   moved in are other files now (a reinstall)      removed (the installation was made anew),
//                                                   and a fresh update of what is staged
//   the root's unins000.dat is neither the one the   the record is void (the installer wrote
//   record began over nor the staged one, while     the installation since): one INFO line, it
//   something is left to delete or move            is removed, and a fresh update of what is
//                                                   staged (at logon: nothing more), but for:
//   the same while moving, and "_" still holds      what "_" holds is the rest of an update,
//   some of the staged entries as they were         no version: an error that says to remove
//   staged, but not all                             "_" or let the application stage again,
//                                                   nothing touched, the record stays
//   the root holds an entry that a resume while     superseded, as above: a fresh update with
//   deleting would delete and that the record does  all its checks
//   not know (by identity, or where numbers do not
//   last by kind, size and time)
//   while moving, an entry that is not the          it is kept: renamed to
//   update's own where one still staged goes (the   "<name>.set-aside-by-update" (a WARN),
//   application, updated in part, wrote it)         and the staged entry takes its place
//   "_" empty or gone (or the update was still      the update cannot be completed: an error
//   deleting) while entries of the recorded new     that names the first missing entry, exit
//   version are in neither place                    1, nothing touched
//   every entry with a new number, as their names,  the same installation (a restore from a
//   kinds, sizes and times are the record's         backup, a move to another disk): the
//                                                   record resumes
//   "_" a link, a junction or a mount point         refused as in a fresh update
//
// Entries the update keeps (a staged unins000.dat) are told in the root by their names only,
// since the uninstall log is rewritten into a file made new. A record of the earliest builds
// names no entries and is taken as it stands; one that knows neither the old version's entries
// nor the logs' sizes and times is checked as far as it knows; one without the entries' kinds,
// sizes and times tells entries by their numbers alone, so that a copy of the installation is
// another one to it. Every identity is read before the first delete, or the update stops there.
// Once every staged entry is in place the update is complete: a failure to remove the emptied
// "_" or the record is a warning.
//
// The uninstall log is rewritten into a new temporary file that replaces it in one rename; a
// leftover of a rewrite that was cut short is removed by the next one.
//
// Durable before destructive. A power cut keeps only what reached the device, so each step that
// a later step relies on is flushed before that step runs. For each durable step, in order: what
// the disk holds if the power fails just before it, and what the next run then does. (Steps in
// between are not flushed one by one: renames and removals are atomic each, the journal keeps
// them in order, and the next durable step writes them out with itself.) A flush that reports
// an error is final (FlushError, never retried: Linux reports a lost write once, and a second
// flush succeeds over what is lost): the run stops there, and the disk may hold what the table
// says for that step or anything that came after the previous durable step, which is what the
// next run finds and finishes the same way. Before the record exists that is the old version
// whole and no record (the error names the folder that could not be written); after it, the
// record as it was before the step.
//
//   durable step                 the disk just before it              the next run
//   ---------------------------  -----------------------------------  ---------------------------
//   registration at logon        nothing of the update's; the old     a fresh update, by hand;
//   (RegFlushKey; the entry and  version whole                        the next logon finds no
//   its folder fsynced)                                               registration
//   the staged version           no record; the old version whole;    a fresh update, by hand
//   (write_staged_version_to_    "_" as far as the application's      (its check finds a staged
//   disk, after the scan wrote   writes reached the device            file that is missing, not
//   each entry out where the                                          one cut short); at logon,
//   volume needs it)                                                  no record: nothing to do,
//                                                                     the registration goes
//   the record, "deleting"       no record; the old version whole;    the same; the checks run
//   (UpdateRecord::begin)        "_" whole on the device              again on what is there
//   the old version's removal    record "deleting"; the old version   deletes what is left of the
//   (the root fsynced)           in part (removals may come back);    old version from the same
//                                "_" whole                            "_", then goes on
//   the record, "moving"         the same, with every removal on the  the same
//   (UpdateRecord::advance)      device
//   the rewritten uninstall log  record "moving"; no old entry; the   moves what is left (an
//   (temporary file, rename,     new version in part in the root,     entry is in one of its two
//   root fsynced)                the rest in "_" (or "_" empty)       places), rewrites the log
//   the record, "rewriting the   record "moving"; the new version     finds "_" gone, rewrites
//   uninstall log" (after a      whole, its log not rewritten         the log, removes the
//   rewrite that may pass)                                            record
//   the record's removal         record "moving"; the new version     finds "_" gone, rewrites
//   (renamed away durably, then  whole and its log rewritten          the log again (the same
//   its temporary name removed                                        bytes), removes the record;
//   and the root flushed)                                             a leftover at the temporary
//                                                                     name is removed by any run
//                                                                     that holds the lock
//   the registration's removal   no record; the update complete       at logon, no record:
//   (after the record's, so                                           nothing to do, and the
//   that no record is ever                                            registration goes
//   left without one)
//
// What each durable step is on each platform:
//
//   durable step             POSIX                          Windows
//   -----------------------  -----------------------------  -----------------------------------
//   registration at logon    the entry fsynced, renamed,    RegFlushKey
//                            its folder fsynced
//   the staged version       syncfs of its file system      each file and folder written out
//                            (FUSE: an fsync of each entry  by the scan without the device's
//                            by the scan, then of "_")      cache flush (NtFlushBuffersFileEx,
//                                                           FLUSH_FLAGS_NO_SYNC; FlushFileBuffers
//                                                           where the system has no such call),
//                                                           then one flush of "_" through its
//                                                           handle: its entries, and the device's
//                                                           cache for all of them (MS-FSA 2.1.5.7)
//   a record, a rewritten    the temporary file fsynced,    the temporary file flushed
//   log, a record removed    renamed, the root fsynced      (FlushFileBuffers), renamed with
//                                                           MOVEFILE_WRITE_THROUGH
//   the old version's        the root fsynced               the root flushed through its handle
//   removal
//   the move-in's renames    ordered by the journal of the  NTFS and ReFS: ordered by their log;
//                            file systems whose numbers     FAT and exFAT: each written through
//                            last; elsewhere each renamed   (a held file flushed through its
//                            durably                        handle after its rename, which writes
//                                                           its entry out in the root)
//
// FAT and exFAT keep no journal: what is ordered there is each durable step above (a flush, a
// rename written through), and nothing between two of them. A removal of the old version or a
// move-in rename that was not yet written may come back after a power cut; the next run finds
// the state of the row before, which it finishes the same way (a removed file back in the old
// version is deleted again; an entry is in one of its two places). A FAT volume cut in the
// middle of a write may also need its own repair (chkdsk), which no update can stand in for.

#include <string>
#include <vector>

#include "base/durability.hpp"
#include "base/file.hpp"
#include "base/fs.hpp"
#include "logging/logger.hpp"
#include "update/checks.hpp"
#include "update/installation.hpp"
#include "update/move_in.hpp"
#include "update/old_version.hpp"
#include "update/uninstall_log_patch.hpp"
#include "update/update_context.hpp"

namespace vellicor {
namespace {

// The last steps of an update whose new version is in place: its uninstall log rewritten (a
// failure is two warnings, and the update stays a success), then its record removed. Where the
// rewrite may succeed later (patch_may_succeed_later), the record stays instead, saying that
// the log is still to be rewritten, for the next run by hand or at logon.
void finish_new_version(const UpdateContext& update, UpdateRecord& record) {
  auto patched = patch_uninst_dat(update.logger, update.installation);
  if (!patched) {
    log_warning(update.logger, "Failed to patch uninst.dat file");
    log_warning(update.logger, patched.error().display_text());
    if (patch_may_succeed_later(patched.error())) {
      record.keep_for_log_rewrite(update);
      return;
    }
  }
  UpdateRecord::finish(update);
}

// The record of an interrupted update that this installation still is, or nothing: no record,
// or one that the installation as found says is superseded or stale, so that what follows is a
// fresh update. A stale record is set aside here; a superseded one stays until that update
// records itself. A record whose new version is in place while another version is staged since
// is finished here first (a run at logon stops there: `finished`). With the record's authority
// alone, anything but a record to resume or finish fails.
Result<std::optional<UpdateRecord>> interrupted_update(const UpdateContext& update,
                                                       UpdateAuthority authority, bool& finished) {
  auto reading = read_for_update(update.installation);
  if (!reading) return fail(reading.error());
  const bool by_record = authority == UpdateAuthority::Record;
  if (!reading->record) {
    if (!by_record) return std::optional<UpdateRecord>();
    return fail_other("The update record " + update.installation.update_record +
                      " is gone: a run at logon finishes only the update that it records");
  }
  const RecordCheck& check = reading->check;
  if (check.match == RecordMatch::Resume) {
    log_info(update.logger, "Resuming an interrupted update at " +
                                std::string(phase_text(reading->record->phase())));
    return std::move(reading->record);
  }
  if (check.match == RecordMatch::MovedIn) {
    // What it moved in is its new version: finished as such, and only then the old version of
    // what is staged now.
    log_info(update.logger, "The interrupted update of " + update.installation.root +
                                " has its new version in place (" + check.reason +
                                "): finishing it before what is staged now");
    finish_new_version(update, *reading->record);
    finished = by_record;
    return std::optional<UpdateRecord>();
  }
  if (by_record) {
    return fail_other(earlier_update_text(update.installation, check.reason) +
                      ": a run at logon finishes no other update");
  }
  log_info(update.logger, earlier_update_text(update.installation, check.reason) +
                              ": updating what is staged now");
  if (check.match == RecordMatch::Stale || check.match == RecordMatch::Reinstalled) {
    if (auto set_aside = UpdateRecord::set_aside(update); !set_aside)
      return fail(set_aside.error());
  }
  return std::optional<UpdateRecord>();
}

// The staged version on the device before the record first says that the old version goes:
// the application may have staged it a moment ago, and what the file system still holds in
// memory a power cut takes, however durable the deletions after it are. The scan wrote each
// entry out where the volume takes them one by one; this is the step that makes the device
// keep them (write_to_device).
Status write_staged_version_to_disk(const UpdateContext& update) {
  auto written = retry_with_prompt(
      "Writing the staged version to the disk", kRetryLimit,
      [&](uint32_t) { return write_to_device(update.installation.update_folder); }, update.hooks);
  if (written) log_info(update.logger, "Wrote the staged version to the disk");
  return written;
}

// The old version's removal on the device before the record says it is gone: everything it
// deleted lay in the root, or in a folder that it removed from the root.
Status write_removal_to_disk(const UpdateContext& update) {
  return retry_with_prompt(
      "Writing the root to the disk: " + update.installation.root, kRetryLimit,
      [&](uint32_t) { return flush_directory(update.installation.root); }, update.hooks);
}

// Deletes the old version of an update whose staged version was checked and scanned (`staged`);
// records the move-in, and gives the record.
Result<UpdateRecord> delete_old_version(const UpdateContext& update,
                                        std::optional<UpdateRecord> record, CheckedStaged& staged) {
  // A staged file that is an old file by another name (a hard link) is let go before the old
  // name's exclusive hold, which would wait for it.
  auto old = OldVersion::collect(
      update, [&](const std::string& path) { return staged.scan.let_go_of_same_file(path); });
  if (!old) return fail(old.error());
  if (update.checked) update.checked();
  if (auto written = write_staged_version_to_disk(update); !written) return fail(written.error());
  const bool fresh = !record;
  if (fresh) {
    // Before the first file can go: a process that ends deletes the files it had marked, on
    // Windows.
    RecordContent start;
    start.began_over = staged.version.uninstall_log;
    start.staged_log = staged.version.staged_log;
    start.old_entries = old->entries();
    start.staged = staged.version.entries;
    auto begun = UpdateRecord::begin(update, std::move(start));
    if (!begun) return fail(begun.error());
    record = std::move(*begun);
  }
  if (auto marked = old->mark(update); !marked) {
    // Every file is unmarked again: nothing was deleted by this run.
    if (fresh) record->take_back(update);
    return fail(marked.error());
  }
  if (auto removed = old->remove(update); !removed) return fail(removed.error());
  if (auto written = write_removal_to_disk(update); !written) return fail(written.error());
  if (auto advanced = record->advance(update, UpdatePhase::Moving); !advanced) {
    return fail(advanced.error());
  }
  return std::move(*record);
}

// The old version replaced by the new one; gives the update's record.
Result<UpdateRecord> replace_installation(const UpdateContext& update,
                                          std::optional<UpdateRecord> resume) {
  log_info(update.logger, "move_update: " + update.installation.uninstall_log + ", " +
                              std::string(kUpdateFolderName));
  std::optional<StagedScan> scan;
  if (!resume || resume->phase() == UpdatePhase::Deleting) {
    auto staged = check_before_deleting(update);
    if (!staged) return fail(staged.error());
    auto deleted = delete_old_version(update, std::move(resume), *staged);
    if (!deleted) return deleted;
    resume = std::move(*deleted);
    scan = std::move(staged->scan);
  } else {
    auto left = check_before_moving_in(update);
    if (!left) return fail(left.error());
    if (update.checked) update.checked();
    // Everything was moved in and the update folder removed already.
    if (!*left) return std::move(*resume);
    scan = std::move(*left);
  }
  if (auto moved = move_new_version_in(update, *scan); !moved) return fail(moved.error());
  remove_update_folder(update);
  return std::move(*resume);
}

}  // namespace

Status do_update(Logger& logger, const Installation& installation, const RetryHooks& hooks,
                 UpdateAuthority authority, std::function<void()> checked) {
  const UpdateContext update{logger, installation, hooks, std::move(checked)};
  log_info(logger, "do_update: " + installation.code_path + ", " + std::string(kUpdateFolderName));
  bool finished = false;
  auto resume = interrupted_update(update, authority, finished);
  if (!resume) return fail(resume.error());
  if (finished) return {};
  auto record = replace_installation(update, std::move(*resume));
  if (!record) return fail(record.error());
  finish_new_version(update, *record);
  return {};
}

Status move_update(Logger& logger, const Installation& installation, const RetryHooks& hooks) {
  auto record = replace_installation(UpdateContext{logger, installation, hooks}, std::nullopt);
  return record ? Status{} : Status(fail(record.error()));
}

}  // namespace vellicor
