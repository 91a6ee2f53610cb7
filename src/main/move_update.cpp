#include "main/move_update.hpp"

#include <deque>
#include <string>
#include <vector>

#include "base/fs.hpp"
#include "base/path.hpp"
#include "logging/logger.hpp"
#include "main/file_handles.hpp"
#include "main/installation.hpp"
#include "main/staged_check.hpp"
#include "main/update_state.hpp"
#include "model/uninstall_log.hpp"

namespace vellicor {
namespace {

constexpr uint32_t kOpenLimit = 16;
constexpr uint32_t kLimit = 11;

// The delete-access handles of the collect phase. Whatever is still open when the update stops
// early is unmarked, then closed: no old file goes unless every one can.
class HandleList {
 public:
  HandleList() = default;
  HandleList(const HandleList&) = delete;
  HandleList& operator=(const HandleList&) = delete;
  ~HandleList() {
    for (auto& handle : handles_) {
      if (!handle.is_open()) continue;
      if (handle.marked) (void)unmark_for_deletion(handle);
      (void)close_file_handle(handle);
    }
  }
  void add(FileHandle handle) { handles_.push_back(std::move(handle)); }
  std::vector<FileHandle>& all() { return handles_; }

 private:
  std::vector<FileHandle> handles_;
};

struct Collected {
  std::vector<std::string> top_level_directories;
};

// The updater's own files in the root while it works: the update record and its temporary
// file, and the temporary file of the uninstall log's rewrite. Neither old nor new version.
bool is_updater_file(const Installation& installation, std::string_view name) {
  return file_names_equal(name, kUpdateStateName) || file_names_equal(name, kUpdateStateTempName) ||
         file_names_equal(name,
                          *path_file_name(uninstall_log_temp_path(installation.uninstall_log)));
}

bool is_folder(const DirEntry& entry) {
  return entry.directory_attribute;
}

// Breadth-first walk below the root: opens every file, records the directories directly in
// the root, leaves links alone.
Status collect(Logger& logger, const Installation& installation, const RetryHooks& hooks,
               HandleList& handles, Collected& collected) {
  const std::string& root = installation.root;
  std::deque<std::string> queue{root};
  while (!queue.empty()) {
    const std::string directory = std::move(queue.front());
    queue.pop_front();
    log_info(logger, "Reading directory: " + directory);
    auto entries = list_directory(directory);
    if (!entries) return fail(entries.error());
    const bool at_root = paths_equal(directory, root);
    bool checked = false;
    for (const auto& entry : *entries) {
      if (!entry.name) return fail_other("Could not get entry name");
      if (at_root && (is_kept_entry(*entry.name) || is_updater_file(installation, *entry.name))) {
        continue;
      }
      // Something here will be deleted: the folder must allow it. A permission does not come
      // by waiting, so this is not retried.
      if (!checked && (entry.kind != EntryKind::Link || !at_root)) {
        if (auto deletable = check_entries_deletable_in(directory); !deletable) return deletable;
        checked = true;
      }
      std::string path = join_path(directory, *entry.name);
      switch (entry.kind) {
        case EntryKind::Directory:
          if (at_root) collected.top_level_directories.push_back(path);
          queue.push_back(std::move(path));
          break;
        case EntryKind::File: {
          auto handle = retry_with_prompt(
              "Opening file handle: " + path, kOpenLimit,
              [&](uint32_t attempt) {
                log_info(logger, "Get file handle: " + path + attempt_suffix(attempt));
                return open_file_handle(path);
              },
              hooks);
          if (!handle) return fail(handle.error());
          handles.add(std::move(*handle));
          break;
        }
        case EntryKind::Link:
          break;
      }
    }
  }
  return {};
}

Status remove_top_level_directory(Logger& logger, const std::string& directory,
                                  const RetryHooks& hooks) {
  return retry_with_prompt(
      "Deleting a directory: " + directory, kLimit,
      [&](uint32_t attempt) -> Status {
        // Gone (or unreadable) counts as done, without an attempt and without a wait.
        if (!metadata(directory)) return {};
        log_info(logger, "Delete directory recursively: " + directory + attempt_suffix(attempt));
        return remove_directory_tree(directory);
      },
      hooks);
}

// Deletes the old version: every file is opened, then all are marked, then closing the handles
// deletes them; then the top-level folders go. A fresh update is recorded as deleting once every
// file is held, before the first one is marked (a process that ends deletes the files it had
// marked, on Windows). `deleting` tells whether any file may be gone.
Status delete_old_version(Logger& logger, const Installation& installation, bool fresh,
                          const RetryHooks& hooks, bool& deleting) {
  HandleList handles;
  Collected collected;
  if (auto status = collect(logger, installation, hooks, handles, collected); !status) {
    return status;
  }
  log_info(logger, "Collected all directories and file handles");
  if (fresh) {
    if (auto recorded = write_update_state(installation, UpdatePhase::Deleting); !recorded) {
      return recorded;
    }
  }

  for (auto& handle : handles.all()) {
    auto marked = retry_with_prompt(
        "marking a file for deletion", kLimit, [&](uint32_t) { return mark_for_deletion(handle); },
        hooks);
    if (!marked) return marked;
  }
  log_info(logger, "All file handles marked for deletion");

  deleting = true;
  for (auto& handle : handles.all()) {
    auto closed = retry_with_prompt(
        "closing a file handle", kLimit, [&](uint32_t) { return close_file_handle(handle); },
        hooks);
    if (!closed) return closed;
  }
  log_info(logger, "All files deleted");

  for (const auto& directory : collected.top_level_directories) {
    if (auto removed = remove_top_level_directory(logger, directory, hooks); !removed) {
      return removed;
    }
  }
  return {};
}

Status move_entries_up(Logger& logger, const Installation& installation, const RetryHooks& hooks) {
  auto entries = list_directory(installation.update_folder);
  if (!entries) return fail(entries.error());
  for (const auto& entry : *entries) {
    if (!entry.name) return fail_other("Could not get entry name");
    const std::string& name = *entry.name;
    const std::string from = join_path(installation.update_folder, name);
    const std::string to = join_path(installation.root, name);
    auto moved = retry_with_prompt(
        "Renaming: " + name, kLimit,
        [&](uint32_t attempt) {
          log_info(logger, "Rename: " + name + attempt_suffix(attempt));
          return rename_replacing(from, to);
        },
        hooks);
    if (!moved) return moved;
  }
  return {};
}

// The update folder's contents are moved into the root and the folder is then removed, so it
// must be the installation's own folder: through a link, a junction or a mount, the move would
// empty whatever folder it leads to. Without the application's executable in it, the update
// would delete the application and put nothing in its place.
Result<std::vector<DirEntry>> check_update_folder(const Installation& installation) {
  const std::string& folder = installation.update_folder;
  auto update = metadata(folder);
  if (!update) return fail(update.error());
  if (!update->is_directory) return fail_other("Update folder is not a directory");
  auto resolved = resolve_path(folder);
  if (!resolved) return fail(resolved.error());
  if (!paths_equal(*resolved, folder)) {
    return fail_other("Update folder is a link to another folder: " + folder + " leads to " +
                      *resolved);
  }
  auto root = metadata(installation.root);
  if (!root) return fail(root.error());
  if (root->volume != update->volume) {
    return fail_other(
        "Update folder is a mount point or on another volume than the installation: " + folder);
  }
  auto entries = list_directory(folder);
  if (!entries) return fail(entries.error());
  for (const auto& entry : *entries) {
    if (entry.name && file_names_equal(*entry.name, installation.executable_name)) return entries;
  }
  return fail_other("Update folder holds no " + installation.executable_name + ": " + folder);
}

// What the move-in needs of every staged entry, known before the first old file goes: a name
// that is text and not one of the updater's own files, and a place in the root that the
// rename can take. After the deletion the root holds only the kept entries and links; a file
// may replace a kept file (the new unins000.dat replaces the old one in every update), but no
// folder can replace anything, and no file can replace a folder.
Status check_staged_entries(const Installation& installation, const std::vector<DirEntry>& staged) {
  auto existing = list_directory(installation.root);
  if (!existing) return fail(existing.error());
  for (const auto& entry : staged) {
    if (!entry.name) return fail_other("Could not get entry name");
    const std::string from = join_path(installation.update_folder, *entry.name);
    if (is_updater_file(installation, *entry.name)) {
      return fail_other("Update folder holds a name that the updater uses itself: " + from);
    }
    for (const auto& place : *existing) {
      if (!place.name || !file_names_equal(*place.name, *entry.name)) continue;
      const bool stays = is_kept_entry(*place.name) || place.kind == EntryKind::Link;
      if (stays && (is_folder(entry) || is_folder(place))) {
        return fail_other("Staged entry " + from + " cannot replace " +
                          join_path(installation.root, *place.name) + ", which the update keeps");
      }
    }
  }
  return {};
}

}  // namespace

bool is_kept_entry(std::string_view name, PathStyle style) {
  return file_names_equal(name, kUpdateFolderName, style) ||
         file_name_starts_with(name, "unins", style) || file_names_equal(name, "tools", style);
}

Status move_update(Logger& logger, const Installation& installation,
                   std::optional<UpdatePhase> resume, const RetryHooks& hooks) {
  log_info(logger,
           "move_update: " + installation.uninstall_log + ", " + std::string(kUpdateFolderName));
  if (resume != UpdatePhase::Moving) {
    // The old version is still there, in part at least, and the new one whole in the update
    // folder: everything about them is checked before anything is touched.
    auto staged = check_update_folder(installation);
    if (!staged) return fail(staged.error());
    if (auto checked = check_staged_entries(installation, *staged); !checked) return checked;
    if (auto complete = check_staged_version(logger, installation); !complete) return complete;

    const bool fresh = !resume.has_value();
    bool deleting = false;
    if (auto deleted = delete_old_version(logger, installation, fresh, hooks, deleting); !deleted) {
      // The handles are unmarked and closed by now, and no file was deleted: the record of
      // an update that never got to delete anything is taken back.
      if (fresh && !deleting) (void)remove_update_state(installation);
      return deleted;
    }
    if (auto recorded = write_update_state(installation, UpdatePhase::Moving); !recorded) {
      return recorded;
    }
  }

  // Resumed after the update folder was already moved in and removed: nothing is left to do
  // here.
  if (resume == UpdatePhase::Moving && !metadata(installation.update_folder)) return {};
  if (auto moved = move_entries_up(logger, installation, hooks); !moved) return moved;

  log_info(logger, "Delete: " + installation.update_folder);
  return remove_directory_tree(installation.update_folder);
}

}  // namespace vellicor
