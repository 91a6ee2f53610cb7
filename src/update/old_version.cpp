#include "update/old_version.hpp"

#include <vector>

#include "base/entry_identity.hpp"
#include "base/fs.hpp"
#include "base/path.hpp"
#include "base/tree_removal.hpp"
#include "base/tree_walk.hpp"
#include "logging/logger.hpp"
#include "update/installation.hpp"
#include "update/update_context.hpp"

namespace vellicor {
namespace {

// The file `name` of `folder`, opened through the folder (`path` names it in the log).
Result<DeleteHandle> open_retried(const UpdateContext& update, const WalkedFolder& folder,
                                  const std::string& name, const std::string& path) {
  return retry_with_prompt(
      "Opening file handle: " + path, kOpenLimit,
      [&](uint32_t attempt) {
        log_info(update.logger, "Get file handle: " + path + attempt_suffix(attempt));
        return open_file_handle(folder, name);
      },
      update.hooks);
}

Status remove_top_level_directory(const UpdateContext& update, const std::string& directory) {
  return retry_with_prompt(
      "Deleting a directory: " + directory, kRetryLimit,
      [&](uint32_t attempt) -> Status {
        // Gone (or unreadable) counts as done, without an attempt and without a wait.
        if (!metadata(directory)) return {};
        log_info(update.logger,
                 "Delete directory recursively: " + directory + attempt_suffix(attempt));
        // Listed as a folder: a link or anything else in its place now is refused, not removed.
        return remove_folder_tree(directory);
      },
      update.hooks);
}

}  // namespace

Result<OldVersion> OldVersion::collect(
    const UpdateContext& update,
    const std::function<Status(const std::string& path)>& before_hold) {
  auto old = walk(update, true, before_hold);
  if (old) log_info(update.logger, "Collected all directories and file handles");
  return old;
}

Status OldVersion::check_deletable(const UpdateContext& update) {
  auto old = walk(update, false);
  if (!old) return fail(old.error());
  return {};
}

Result<OldVersion> OldVersion::walk(
    const UpdateContext& update, bool hold,
    const std::function<Status(const std::string& path)>& before_hold) {
  const Installation& installation = update.installation;
  OldVersion old;
  const auto visit = [&](const WalkedFolder& folder, std::vector<DirEntry>& entries) -> Status {
    const std::string& directory = folder.path();
    log_info(update.logger, "Reading directory: " + directory);
    const bool at_root = paths_equal(directory, installation.root);
    // Every folder below the root goes too.
    if (!at_root) {
      if (auto removable = check_attributes_allow_deletion(directory); !removable) {
        return removable;
      }
    }
    if (at_root) {
      // Kept entries and the updater's own files are neither deleted nor entered.
      std::erase_if(entries, [&](const DirEntry& entry) {
        return entry.name &&
               (is_kept_entry(*entry.name) || is_updater_file(installation, *entry.name));
      });
    }
    bool checked = false;
    for (const auto& entry : entries) {
      if (!entry.name) return fail_other("Could not get entry name");
      // Something here will be deleted: the folder must allow it. A permission does not come
      // by waiting, so this is not retried.
      if (!checked && (entry.kind != EntryKind::Link || !at_root)) {
        if (auto deletable = check_entries_deletable_in(directory); !deletable) return deletable;
        checked = true;
      }
      const std::string path = join_path(directory, *entry.name);
      if (at_root && entry.kind != EntryKind::Link) {
        auto identity = entry_identity(path, FolderTraits::KindOnly);
        if (!identity) return fail(identity.error());
        auto traits = entry_traits(path);
        if (!traits) return fail(traits.error());
        const bool folder = traits->kind == EntryKind::Directory;
        old.entries_.push_back(
            {*entry.name, *identity,
             EntryStamp{traits->kind, folder ? 0 : traits->size, traits->modified}});
      }
      // A mount point is left alone like a link, but the folder that holds it could not be
      // removed: found now, before anything is deleted. One directly in the root stays.
      if (entry.mount_point && !at_root) {
        return fail_other("Cannot remove " + directory + ": another file system is mounted on " +
                          path);
      }
      if (entry.kind == EntryKind::Directory) {
        if (at_root) old.top_level_directories_.push_back(path);
        continue;
      }
      if (entry.kind != EntryKind::File) continue;
      // An exclusive hold that cannot be had is refused now, not after a minute of retries.
      if (auto holdable = check_holdable(path); !holdable) return holdable;
      if (!hold) {
        if (auto deletable = check_attributes_allow_deletion(path); !deletable) return deletable;
        continue;
      }
      if (before_hold) {
        if (auto ready = before_hold(path); !ready) return ready;
      }
      auto handle = open_retried(update, folder, *entry.name, path);
      if (!handle) return fail(handle.error());
      if (auto deletable = check_attributes_allow_deletion(*handle); !deletable) {
        return deletable;
      }
      old.files_.push_back(std::move(*handle));
    }
    return {};
  };
  if (auto walked = walk_breadth_first(installation.root, visit); !walked) {
    return fail(walked.error());
  }
  return old;
}

Status OldVersion::mark(const UpdateContext& update) {
  for (auto& file : files_) {
    auto marked = retry_with_prompt(
        "marking a file for deletion", kRetryLimit,
        [&](uint32_t) { return mark_for_deletion(file); }, update.hooks);
    if (!marked) {
      files_.clear();  // each unmarked and closed: nothing is deleted
      return marked;
    }
  }
  log_info(update.logger, "All file handles marked for deletion");
  return {};
}

Status OldVersion::remove(const UpdateContext& update) {
  for (auto& file : files_) {
    auto closed = retry_with_prompt(
        "closing a file handle", kRetryLimit, [&](uint32_t) { return close_file_handle(file); },
        update.hooks);
    if (!closed) return closed;
  }
  log_info(update.logger, "All files deleted");
  for (const auto& directory : top_level_directories_) {
    if (auto removed = remove_top_level_directory(update, directory); !removed) return removed;
  }
  return {};
}

}  // namespace vellicor
