#pragma once
// The old version while it is deleted, in committed stages: every file below the root but the
// kept entries is held exclusively first, then all are marked for deletion, then closing their
// handles deletes them, then the folders directly in the root are removed. Links and mount
// points are never entered.

#include <functional>
#include <string>
#include <vector>

#include "base/delete_handle.hpp"
#include "base/error.hpp"
#include "update/update_record_format.hpp"

namespace vellicor {

struct UpdateContext;

class OldVersion {
 public:
  // Walks the root breadth-first ("Reading directory: " each folder) and opens every file under
  // retry_with_prompt ("Get file handle: " each attempt), then logs "Collected all directories
  // and file handles". Fails before anything is marked: a folder whose entries this process may
  // not delete, a mount point below a top-level folder, a name that is not text, a file that
  // stays locked. Whatever was opened is closed again.
  // `before_hold` is called with each file's path before its hold is taken.
  [[nodiscard]] static Result<OldVersion> collect(
      const UpdateContext& update,
      const std::function<Status(const std::string& path)>& before_hold = {});

  // The same walk and the same checks, without a handle: whether the old version could be
  // collected as far as no running application can change it (a file it holds open is not
  // found locked here), and its entries' identities read. Logs only "Reading directory: " each
  // folder.
  [[nodiscard]] static Status check_deletable(const UpdateContext& update);

  // Marks every file ("All file handles marked for deletion"). When one cannot be marked, every
  // file is unmarked and closed again before this returns: nothing is deleted.
  [[nodiscard]] Status mark(const UpdateContext& update);

  // Closes every handle, which deletes the marked files ("All files deleted"), then removes the
  // top-level folders, each under retry_with_prompt.
  [[nodiscard]] Status remove(const UpdateContext& update);

  // The entries in the root that the update deletes, with their identities as the record keeps
  // them (a folder by its number, or where numbers do not last by its kind alone: what it holds
  // goes meanwhile).
  const std::vector<StagedEntry>& entries() const { return entries_; }

 private:
  OldVersion() = default;

  // The walk of collect; files are held only when `hold` is set.
  [[nodiscard]] static Result<OldVersion> walk(
      const UpdateContext& update, bool hold,
      const std::function<Status(const std::string& path)>& before_hold = {});

  std::vector<DeleteHandle> files_;
  std::vector<std::string> top_level_directories_;
  std::vector<StagedEntry> entries_;
};

}  // namespace vellicor
