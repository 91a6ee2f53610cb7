#include "main/move_update.hpp"

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "base/fs.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"
#include "logging/logger.hpp"
#include "main/file_handles.hpp"
#include "main/installation.hpp"
#include "main/staged_check.hpp"
#include "main/staged_entries.hpp"
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
  ~HandleList() { unmark_and_close_all(); }
  void add(FileHandle handle) { handles_.push_back(std::move(handle)); }
  void unmark_and_close_all() {
    for (auto& handle : handles_) {
      if (!handle.is_open()) continue;
      if (handle.marked) (void)unmark_for_deletion(handle);
      (void)close_file_handle(handle);
    }
  }
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
      // A mount point is left alone like a link, but the folder that holds it could not be
      // removed: found now, before anything is deleted. One directly in the root stays.
      if (entry.mount_point && !at_root) {
        return fail_other("Cannot remove " + directory + ": another file system is mounted on " +
                          path);
      }
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

// Writes the record of the update, retried like every other file step: it must be on the
// device before the step it announces.
Status write_record(const Installation& installation, const UpdateRecord& record,
                    const RetryHooks& hooks) {
  return retry_with_prompt(
      "Writing the update record: " + join_path(installation.root, kUpdateStateName), kLimit,
      [&](uint32_t) { return write_update_state(installation, record); }, hooks);
}

// Deletes the old version: every file is opened, then all are marked, then closing the handles
// deletes them; then the top-level folders go. `begin`, the record of a fresh update, is written
// once every file is held, before the first one is marked (a process that ends deletes the
// files it had marked, on Windows); when marking fails, every file is unmarked again and the
// record taken back, since nothing was deleted.
Status delete_old_version(Logger& logger, const Installation& installation,
                          const UpdateRecord* begin, const RetryHooks& hooks) {
  HandleList handles;
  Collected collected;
  if (auto status = collect(logger, installation, hooks, handles, collected); !status) {
    return status;
  }
  log_info(logger, "Collected all directories and file handles");
  if (begin) {
    if (auto recorded = write_record(installation, *begin, hooks); !recorded) return recorded;
  }

  for (auto& handle : handles.all()) {
    auto marked = retry_with_prompt(
        "marking a file for deletion", kLimit, [&](uint32_t) { return mark_for_deletion(handle); },
        hooks);
    if (!marked) {
      handles.unmark_and_close_all();
      if (begin) (void)remove_update_state(installation);
      return marked;
    }
  }
  log_info(logger, "All file handles marked for deletion");

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

// The update folder of a fresh update: the installation's own folder, holding the application's
// executable. Without it, the update would delete the application and put nothing in its place.
Result<std::vector<DirEntry>> check_update_folder(const Installation& installation) {
  const std::string& folder = installation.update_folder;
  auto entries = list_own_update_folder(installation);
  if (!entries) return fail(entries.error());
  for (const auto& entry : *entries) {
    if (entry.name && file_names_equal(*entry.name, installation.executable_name)) return entries;
  }
  return fail_other("Update folder holds no " + installation.executable_name + ": " + folder);
}

// What the move-in needs of every staged entry, known before the first old file goes: a name
// that is text, that the system takes as it is, and that is not one of the updater's own files,
// the permissions of the rename, and a place in the root that the rename can take. After the
// deletion the root holds only the kept entries and links; a file may replace a kept file (the
// new unins000.dat replaces the old one in every update), but no folder can replace anything,
// and no file can replace a folder.
Status check_staged_entries(const Installation& installation, const std::vector<DirEntry>& staged) {
  if (auto names = check_staged_names(installation, staged); !names) return names;
  if (auto movable = check_staged_movable(installation, staged); !movable) return movable;
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

// Removes the emptied update folder. The new version is complete by now: what keeps the folder
// (a process whose current folder it is) is waited for a while, and then it may stay.
void remove_update_folder(Logger& logger, const Installation& installation,
                          const RetryHooks& hooks) {
  const std::string& folder = installation.update_folder;
  log_info(logger, "Delete: " + folder);
  auto removed = retry_without_prompt(
      kLimit,
      [&](uint32_t attempt) {
        if (attempt > 1) log_info(logger, "Delete: " + folder + attempt_suffix(attempt));
        return remove_directory_tree(folder);
      },
      hooks);
  if (!removed) {
    log_warning(logger, "Could not remove the update folder " + folder + ": " +
                            removed.error().display_text());
  }
}

std::vector<std::string> names_of(const std::vector<DirEntry>& entries) {
  std::vector<std::string> names;
  for (const auto& entry : entries)
    names.push_back(*entry.name);  // checked to be text
  return names;
}

// Checks the update folder and the staged entries, and deletes the old version: a fresh update
// records itself with the staged entries first; one resumed while deleting goes on under its
// record. Then the update is recorded as moving the new version in.
Status replace_old_version(Logger& logger, const Installation& installation,
                           const std::optional<UpdateRecord>& resume, const RetryHooks& hooks) {
  auto staged = check_update_folder(installation);
  if (!staged) return fail(staged.error());
  if (auto checked = check_staged_entries(installation, *staged); !checked) return checked;
  if (auto complete = check_staged_version(logger, installation); !complete) return complete;

  UpdateRecord progress;
  if (resume) {
    progress = *resume;
  } else {
    auto entries = staged_entries(installation, names_of(*staged));
    if (!entries) return fail(entries.error());
    progress.staged = std::move(*entries);
  }
  if (auto deleted = delete_old_version(logger, installation, resume ? nullptr : &progress, hooks);
      !deleted) {
    return deleted;
  }
  progress.phase = UpdatePhase::Moving;
  return write_record(installation, progress, hooks);
}

// An update resumed while moving goes on with what is left in the update folder, if it is
// still there: the installation's own folder, whose entries the move-in can take, and which
// holds every file of them that the staged uninstall log names (in the root once it was moved
// in itself).
Result<bool> check_what_is_left(Logger& logger, const Installation& installation) {
  auto left = list_own_update_folder(installation);
  if (!left) {
    if (is_not_found(left.error())) return false;
    return fail(left.error());
  }
  if (auto checked = check_staged_entries(installation, *left); !checked) {
    return fail(checked.error());
  }
  const auto is_left = [&](std::string_view name) {
    return std::any_of(left->begin(), left->end(), [&](const DirEntry& entry) {
      return entry.name && file_names_equal(*entry.name, name);
    });
  };
  StagedCheckScope scope;
  scope.still_staged = is_left;
  if (!is_left(*path_file_name(installation.uninstall_log))) {
    scope.log_path = installation.uninstall_log;
  }
  if (auto complete = check_staged_version(logger, installation, scope); !complete) {
    return fail(complete.error());
  }
  return true;
}

}  // namespace

Status move_update(Logger& logger, const Installation& installation,
                   const std::optional<UpdateRecord>& resume, const RetryHooks& hooks) {
  log_info(logger,
           "move_update: " + installation.uninstall_log + ", " + std::string(kUpdateFolderName));
  if (!resume || resume->phase == UpdatePhase::Deleting) {
    if (auto replaced = replace_old_version(logger, installation, resume, hooks); !replaced) {
      return replaced;
    }
  } else {
    auto left = check_what_is_left(logger, installation);
    if (!left) return fail(left.error());
    // Everything was moved in and the update folder removed already.
    if (!*left) return {};
  }
  if (auto moved = move_entries_up(logger, installation, hooks); !moved) return moved;
  remove_update_folder(logger, installation, hooks);
  return {};
}

}  // namespace vellicor
