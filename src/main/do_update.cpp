#include "main/do_update.hpp"

// How an update survives being cut short. The update records its phase in a file of the root
// (update_state) before the first old file can go, and removes it last; a second update of the
// same installation cannot run meanwhile (UpdateLock). Running the same command again after
// any interruption (a kill, a crash, a power cut, a failure once its cause is gone) finishes
// the update:
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
// The uninstall log is rewritten into a new temporary file that replaces it in one rename; a
// leftover of a rewrite that was cut short is removed by the next one.

#include <string>

#include "logging/logger.hpp"
#include "main/installation.hpp"
#include "main/move_update.hpp"
#include "main/update_state.hpp"
#include "model/filerec/rebase.hpp"
#include "model/uninstall_log.hpp"

namespace vellicor {

Status do_update(Logger& logger, const Installation& installation, const RetryHooks& hooks) {
  log_info(logger, "do_update: " + installation.code_path + ", " + std::string(kUpdateFolderName));
  auto resume = read_update_state(installation);
  if (!resume) return fail(resume.error());
  if (*resume) {
    log_info(logger, "Resuming an interrupted update at " + std::string(phase_text(**resume)));
  }
  if (auto moved = move_update(logger, installation, *resume, hooks); !moved) return moved;
  if (auto patched = patch_uninst_dat(logger, installation); !patched) {
    log_warning(logger, "Failed to patch uninst.dat file");
    log_warning(logger, patched.error().display_text());
  }
  return remove_update_state(installation);
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
