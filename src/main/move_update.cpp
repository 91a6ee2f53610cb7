#include "main/move_update.hpp"

#include <deque>
#include <string>
#include <vector>

#include "base/fs.hpp"
#include "base/path.hpp"
#include "logging/logger.hpp"
#include "main/file_handles.hpp"
#include "main/installation.hpp"

namespace vellicor {
namespace {

constexpr uint32_t kOpenLimit = 16;
constexpr uint32_t kLimit = 11;

// The delete-access handles of the collect phase. Whatever is still open when the update stops
// early is closed at once: unmarked files stay where they are, marked ones are deleted.
class HandleList {
 public:
  HandleList() = default;
  HandleList(const HandleList&) = delete;
  HandleList& operator=(const HandleList&) = delete;
  ~HandleList() {
    for (auto& handle : handles_) {
      if (handle.os_handle != -1) (void)close_file_handle(handle);
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

// Breadth-first walk below the root: opens every file, records the directories directly in
// the root, leaves links alone.
Status collect(Logger& logger, const std::string& root, const RetryHooks& hooks,
               HandleList& handles, Collected& collected) {
  std::deque<std::string> queue{root};
  while (!queue.empty()) {
    const std::string directory = std::move(queue.front());
    queue.pop_front();
    log_info(logger, "Reading directory: " + directory);
    auto entries = list_directory(directory);
    if (!entries) return fail(entries.error());
    const bool at_root = paths_equal(directory, root);
    for (const auto& entry : *entries) {
      if (!entry.name) return fail_other("Could not get entry name");
      if (at_root && is_kept_entry(*entry.name)) continue;
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

Status move_entries_up(Logger& logger, const std::string& update_folder, const std::string& root,
                       const RetryHooks& hooks) {
  auto entries = list_directory(update_folder);
  if (!entries) return fail(entries.error());
  for (const auto& entry : *entries) {
    if (!entry.name) return fail_other("Could not get entry name");
    const std::string& name = *entry.name;
    const std::string from = join_path(update_folder, name);
    const std::string to = join_path(root, name);
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
Status check_update_folder(const Installation& installation) {
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
    if (entry.name && file_names_equal(*entry.name, installation.executable_name)) return {};
  }
  return fail_other("Update folder holds no " + installation.executable_name + ": " + folder);
}

}  // namespace

bool is_kept_entry(std::string_view name, PathStyle style) {
  return file_names_equal(name, kUpdateFolderName, style) ||
         file_name_starts_with(name, "unins", style) || file_names_equal(name, "tools", style);
}

Status move_update(Logger& logger, const Installation& installation, const RetryHooks& hooks) {
  log_info(logger,
           "move_update: " + installation.uninstall_log + ", " + std::string(kUpdateFolderName));
  if (auto checked = check_update_folder(installation); !checked) return checked;
  const std::string& root = installation.root;
  const std::string& update_folder = installation.update_folder;

  HandleList handles;
  Collected collected;
  if (auto status = collect(logger, root, hooks, handles, collected); !status) return status;
  log_info(logger, "Collected all directories and file handles");

  for (auto& handle : handles.all()) {
    auto marked = retry_with_prompt(
        "marking a file for deletion", kLimit, [&](uint32_t) { return mark_for_deletion(handle); },
        hooks);
    if (!marked) return marked;
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

  if (auto moved = move_entries_up(logger, update_folder, root, hooks); !moved) return moved;

  log_info(logger, "Delete: " + update_folder);
  return remove_directory_tree(update_folder);
}

}  // namespace vellicor
