#include "main/do_update.hpp"

#include <string>

#include "logging/logger.hpp"
#include "main/installation.hpp"
#include "main/move_update.hpp"
#include "model/filerec/rebase.hpp"
#include "model/uninstall_log.hpp"

namespace vellicor {

Status do_update(Logger& logger, const Installation& installation, const RetryHooks& hooks) {
  log_info(logger, "do_update: " + installation.code_path + ", " + std::string(kUpdateFolderName));
  if (auto moved = move_update(logger, installation, hooks); !moved) return moved;
  if (auto patched = patch_uninst_dat(logger, installation); !patched) {
    log_warning(logger, "Failed to patch uninst.dat file");
    log_warning(logger, patched.error().display_text());
  }
  return {};
}

Status patch_uninst_dat(Logger& logger, const Installation& installation) {
  auto log = read_uninstall_log(installation.uninstall_log);
  if (!log) return fail(log.error());
  log_info(logger, "header: " + header_text(log->header));
  log_info(logger, "num_recs: " + std::to_string(log->records.size()));

  auto rebased = rebase_file_recs(std::move(log->records), installation.update_folder_spellings);
  // The line comes before the outcome of the rebase is looked at, so it is there either way.
  log_info(logger, "Updating uninstall file " + installation.uninstall_log);
  if (!rebased) return fail(rebased.error());
  return write_uninstall_log(installation.uninstall_log, log->header, *rebased);
}

}  // namespace vellicor
