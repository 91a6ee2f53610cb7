#include "main/do_update.hpp"

// How an update survives being cut short. The update records itself in a file of the root
// (update_state) before the first old file can go: its phase, and every entry of the update
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
//   no record; the update complete                  nothing is staged: fails as any update
//                                                   without an update folder
//
// What may have changed before that run, and what it does then:
//
//   found                                           what the run does
//   ----------------------------------------------  ----------------------------------------
//   "_" holds an entry the record does not name,    the record is stale: one INFO line, the
//   or one that is another file by now (another     record is removed, and a fresh update of
//   version staged, over the rest or anew)          what is staged now, with all its checks
//   "_" empty or gone, and entries the update had   stale as well: the installation was made
//   moved in are other files now (a reinstall)      anew; a fresh update of what is staged
//   "_" empty or gone (or the update was still      the update cannot be completed: an error
//   deleting) while entries of the recorded new     that names the first missing entry, exit
//   version are in neither place                    1, nothing touched
//   "_" a link, a junction or a mount point         refused as in a fresh update
//
// Entries the update keeps (a staged unins000.dat) are told by their names only, since the
// uninstall log is rewritten into a file made new. A record of an earlier build names no
// entries and is taken as it stands. Once every staged entry is in place the update is
// complete: a failure to remove the emptied "_" or the record is a warning.
//
// The uninstall log is rewritten into a new temporary file that replaces it in one rename; a
// leftover of a rewrite that was cut short is removed by the next one.

#include <string>

#include "base/path.hpp"
#include "logging/logger.hpp"
#include "main/installation.hpp"
#include "main/move_update.hpp"
#include "main/update_state.hpp"
#include "model/filerec/rebase.hpp"
#include "model/uninstall_log.hpp"

namespace vellicor {

namespace {

constexpr uint32_t kLimit = 11;

// The record of an interrupted update that this installation still is, or nothing: no record,
// or one that the installation as found says is stale, which is set aside here so that what
// follows is a fresh update.
Result<std::optional<UpdateRecord>> interrupted_update(Logger& logger,
                                                       const Installation& installation,
                                                       const RetryHooks& hooks) {
  auto record = read_update_state(installation);
  if (!record || !*record) return record;
  auto check = check_update_record(installation, **record);
  if (!check) return fail(check.error());
  switch (check->match) {
    case RecordMatch::Resume:
      log_info(logger,
               "Resuming an interrupted update at " + std::string(phase_text((*record)->phase)));
      return record;
    case RecordMatch::Incomplete:
      return fail_other(check->reason);
    case RecordMatch::Stale:
      break;
  }
  const std::string path = join_path(installation.root, kUpdateStateName);
  log_info(logger, "The update record " + path + " belongs to an earlier update (" + check->reason +
                       "): updating what is staged now");
  auto removed = retry_with_prompt(
      "Removing the update record: " + path, kLimit,
      [&](uint32_t) { return remove_update_state(installation); }, hooks);
  if (!removed) return fail(removed.error());
  return std::optional<UpdateRecord>();
}

}  // namespace

Status do_update(Logger& logger, const Installation& installation, const RetryHooks& hooks) {
  log_info(logger, "do_update: " + installation.code_path + ", " + std::string(kUpdateFolderName));
  auto resume = interrupted_update(logger, installation, hooks);
  if (!resume) return fail(resume.error());
  if (auto moved = move_update(logger, installation, *resume, hooks); !moved) return moved;
  if (auto patched = patch_uninst_dat(logger, installation); !patched) {
    log_warning(logger, "Failed to patch uninst.dat file");
    log_warning(logger, patched.error().display_text());
  }
  // The update is complete: a record left behind only makes the next run finish it again.
  auto removed = retry_without_prompt(
      kLimit, [&](uint32_t) { return remove_update_state(installation); }, hooks);
  if (!removed) {
    log_warning(logger, "Could not remove the update record " +
                            join_path(installation.root, kUpdateStateName) + ": " +
                            removed.error().display_text());
  }
  return {};
}

Status patch_uninst_dat(Logger& logger, const Installation& installation) {
  const std::string& path = installation.uninstall_log;
  FileRecRebaser rebaser(installation.update_folder_spellings);
  // The log streams through, each record rebased on its way into the new file.
  return without_memory_exhaustion([&] {
    return rewrite_uninstall_log(
        path, path, [&](FileRec& record) { return rebaser.rebase(record); },
        [&](const UninstallHeader& header, uint32_t records) {
          log_info(logger, "header: " + header_text(header));
          log_info(logger, "num_recs: " + std::to_string(records));
          // The line comes before the outcome of the rebase is looked at, so it is there
          // either way.
          log_info(logger, "Updating uninstall file " + path);
        });
  });
}

}  // namespace vellicor
