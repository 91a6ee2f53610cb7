#include "main/do_update.hpp"

#include <string>

#include "base/path.hpp"
#include "logging/logger.hpp"
#include "main/move_update.hpp"
#include "model/filerec/rebase.hpp"
#include "model/uninstall_log.hpp"

namespace vellicor {

Status do_update(Logger& logger, std::string_view code_path, const RetryHooks& hooks) {
  log_info(logger, "do_update: " + std::string(code_path) + ", " + std::string(kUpdateFolderName));
  const auto root = parent_path(code_path);
  if (!root) return fail_other("Could not get parent path of uninstdat");
  const std::string uninstall_log_path = join_path(*root, "unins000.dat");

  if (auto moved = move_update(logger, uninstall_log_path, kUpdateFolderName, hooks); !moved) {
    return moved;
  }
  if (auto patched = patch_uninst_dat(logger, uninstall_log_path, kUpdateFolderName); !patched) {
    log_warning(logger, "Failed to patch uninst.dat file");
    log_warning(logger, patched.error().display_text());
  }
  return {};
}

Status patch_uninst_dat(Logger& logger, std::string_view uninstall_log_path,
                        std::string_view update_folder_name) {
  auto log = read_uninstall_log(uninstall_log_path);
  if (!log) return fail(log.error());
  log_info(logger, "header: " + header_text(log->header));
  log_info(logger, "num_recs: " + std::to_string(log->records.size()));

  const auto root = parent_path(uninstall_log_path);
  if (!root) return fail_other("Could not get parent path of uninstdat");
  const std::string update_folder = join_path(*root, update_folder_name);
  auto rebased = rebase_file_recs(std::move(log->records), update_folder);
  // The line comes before the outcome of the rebase is looked at, so it is there either way.
  log_info(logger, "Updating uninstall file " + std::string(uninstall_log_path));
  if (!rebased) return fail(rebased.error());
  return write_uninstall_log(uninstall_log_path, log->header, *rebased);
}

}  // namespace vellicor
