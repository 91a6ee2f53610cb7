#include "update/uninstall_log_patch.hpp"

#include <string>

#include "base/os_error.hpp"
#include "logging/logger.hpp"
#include "model/filerec/rebase.hpp"
#include "model/uninstall_log.hpp"
#include "update/installation.hpp"

namespace vellicor {

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

bool patch_may_succeed_later(const Error& error) {
  const ErrorKind& kind = error.kind();
  const bool unreadable = kind == HeaderParseError || kind == FileRecParseError ||
                          kind == StringDecodeError || kind == RebaseError ||
                          error.message() == kNotRegularFile;
  return !unreadable && !is_not_found(error);
}

}  // namespace vellicor
