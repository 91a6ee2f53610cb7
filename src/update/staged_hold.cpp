#include "update/staged_hold.hpp"

#include "base/path.hpp"
#include "logging/logger.hpp"
#include "update/installation.hpp"
#include "update/retry.hpp"
#include "update/update_context.hpp"

namespace vellicor {
namespace {

template <class Open>
auto open_retried(const UpdateContext& update, const std::string& path, Open&& open) {
  return retry_with_prompt(
      "Opening file handle: " + path, kOpenLimit,
      [&](uint32_t attempt) {
        if (attempt > 1) {
          log_info(update.logger, "Waiting for " + path + ", which another program holds open" +
                                      attempt_suffix(attempt));
        }
        return open(path);
      },
      update.hooks);
}

// Everything below a staged folder, links and what they lead to left alone.
Status check_tree_not_open(const UpdateContext& update, const std::string& folder) {
  auto entries = list_directory(folder);
  if (!entries) return fail(entries.error());
  for (const auto& entry : *entries) {
    if (!entry.name) return fail_other("Could not get entry name");
    if (entry.kind == EntryKind::Link) continue;
    const std::string path = join_path(folder, *entry.name);
    if (auto free = open_retried(update, path, check_not_open); !free) return free;
    if (entry.kind == EntryKind::Directory) {
      if (auto below = check_tree_not_open(update, path); !below) return below;
    }
  }
  return {};
}

}  // namespace

Result<StagedHold> StagedHold::take(const UpdateContext& update,
                                    const std::vector<DirEntry>& staged) {
  StagedHold hold;
  if (!opens_stop_renames()) return hold;
  const Installation& installation = update.installation;
  for (const auto& entry : staged) {
    if (!entry.name) return fail_other("Could not get entry name");
    const std::string& name = *entry.name;
    const std::string path = join_path(installation.update_folder, name);
    if (entry.kind == EntryKind::Directory) {
      // A folder is not held: an open of it without delete sharing, as a listing is (Wine's
      // FindFirstFileW), would fail meanwhile.
      if (auto free = open_retried(update, path, check_movable); !free) return fail(free.error());
      if (auto below = check_tree_not_open(update, path); !below) return fail(below.error());
      continue;
    }
    auto held = open_retried(update, path, open_move_handle);
    if (!held) return fail(held.error());
    hold.held_.insert_or_assign(file_name_key(name), std::move(*held));
    if (is_kept_entry(name)) {
      // A kept file that this one replaces: an open of it refuses the replacement.
      const std::string kept = join_path(installation.root, name);
      if (!is_regular_file(kept)) continue;
      if (auto free = open_retried(update, kept, check_not_open); !free) return fail(free.error());
    }
  }
  return hold;
}

MoveHandle* StagedHold::find(std::string_view name) {
  const auto found = held_.find(file_name_key(name));
  return found == held_.end() ? nullptr : &found->second;
}

}  // namespace vellicor
