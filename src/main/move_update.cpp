#include "main/move_update.hpp"

#include <deque>
#include <string>
#include <vector>

#include "base/fs.hpp"
#include "base/path.hpp"
#include "logging/logger.hpp"
#include "main/file_handles.hpp"

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
Status collect(Logger& logger, const std::string& root, std::string_view update_folder_name,
               const RetryHooks& hooks, HandleList& handles, Collected& collected) {
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
      if (at_root && is_kept_entry(*entry.name, update_folder_name)) continue;
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

}  // namespace

bool is_kept_entry(std::string_view name, std::string_view update_folder_name) {
  return name == update_folder_name || name.starts_with("unins") || name == "tools";
}

Status move_update(Logger& logger, std::string_view uninstall_log_path,
                   std::string_view update_folder_name, const RetryHooks& hooks) {
  log_info(logger, "move_update: " + std::string(uninstall_log_path) + ", " +
                       std::string(update_folder_name));
  const auto root = parent_path(uninstall_log_path);
  if (!root) return fail_other("Could not get parent path of uninstdat");
  // Everything in the root but the kept entries is deleted: never do that to a whole drive or
  // share.
  if (!parent_path(*root)) {
    return fail_other("Refusing to update an installation at the root of a drive or share: " +
                      *root);
  }
  const std::string update_folder = join_path(*root, update_folder_name);
  auto folder = metadata(update_folder);
  if (!folder) return fail(folder.error());
  if (!folder->is_directory) return fail_other("Update folder is not a directory");

  HandleList handles;
  Collected collected;
  if (auto status = collect(logger, *root, update_folder_name, hooks, handles, collected);
      !status) {
    return status;
  }
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

  if (auto moved = move_entries_up(logger, update_folder, *root, hooks); !moved) return moved;

  log_info(logger, "Delete: " + update_folder);
  return remove_directory_tree(update_folder);
}

}  // namespace vellicor
