#include "update/staged_scan.hpp"

#include <algorithm>
#include <functional>

#include "base/durability.hpp"
#include "base/entry_identity.hpp"
#include "base/move_handle.hpp"
#include "base/path.hpp"
#include "base/volume.hpp"
#include "logging/logger.hpp"
#include "update/installation.hpp"
#include "update/retry.hpp"
#include "update/update_context.hpp"

namespace vellicor {
namespace {

constexpr std::string_view kUninstallLogName = "unins000.dat";

// Two entries of one folder whose names Windows takes for one: a case-sensitive folder holds
// both, and every move, hold and lookup by one of the names may reach the other.
Status check_twins(const std::string& folder, const std::vector<DirEntry>& entries) {
  std::unordered_map<std::string, std::string_view> seen;
  for (const auto& entry : entries) {
    if (!entry.name) return fail_other("Could not get entry name");
    const auto [first, inserted] = seen.try_emplace(file_name_key(*entry.name), *entry.name);
    if (!inserted) {
      return fail_other("Staged entries " + join_path(folder, first->second) + " and " +
                        join_path(folder, *entry.name) + " have names that Windows takes for one");
    }
  }
  return {};
}

// An open that another program's open may refuse for a while, waited for as a locked old file
// is.
template <class Open>
auto waited_for(const UpdateContext& update, const std::string& path, Open&& open) {
  return retry_with_prompt(
      "Opening file handle: " + path, kOpenLimit,
      [&](uint32_t attempt) {
        if (attempt > 1) {
          log_info(update.logger, "Waiting for " + path + ", which another program holds open" +
                                      attempt_suffix(attempt));
        }
        return open();
      },
      update.hooks);
}

// How the scan opens the entries of one update.
struct Opener {
  const UpdateContext& update;
  EntryIdentity::Basis basis;
  Flush write_out;  // each entry written out through its open, or not
  bool waits;       // another program's open is waited for, as a lock

  // Opens `path` for `purpose`. Where that open fails, `ours` may say that the file is one this
  // scan holds already by another name (a hard link): Windows keeps share access per file, not
  // per name, so the open was refused by the scan's own hold, and no wait ends that. The file
  // is then taken as a look at it tells (no hold, not written out again).
  Result<OpenedEntry> open(const std::string& path, OpenFor purpose,
                           const std::function<bool(const OpenedEntry&)>& ours = {}) const {
    const auto open_it = [&]() -> Result<OpenedEntry> {
      auto opened = open_entry(path, purpose, basis, write_out);
      if (opened || !ours) return opened;
      auto looked = open_entry(path, OpenFor::Looking, basis, Flush::None);
      if (looked && ours(*looked)) return looked;
      return opened;
    };
    return waits ? waited_for(update, path, open_it) : open_it();
  }

  // Everything below a staged folder: opened alone where an update opens it at all (to write it
  // out, or to find it free of other programs' opens, which would stop the folder's move), and
  // let go again. Links and mount points are left alone.
  Status below(const std::string& folder, bool opens) const {
    auto entries = list_directory(folder);
    if (!entries) return fail(prefixed("Could not list " + folder + ": ", entries.error()));
    if (auto twins = check_twins(folder, *entries); !twins) return twins;
    for (const auto& entry : *entries) {
      if (entry.kind == EntryKind::Link) continue;
      const std::string path = join_path(folder, *entry.name);
      if (opens) {
        if (auto opened = open(path, OpenFor::Alone); !opened) return fail(opened.error());
      }
      if (entry.kind == EntryKind::Directory) {
        if (auto inner = below(path, opens); !inner) return inner;
      }
    }
    return {};
  }
};

}  // namespace

Result<StagedScan> StagedScan::take(const UpdateContext& update,
                                    const std::vector<DirEntry>& staged, Mode mode) {
  const Installation& installation = update.installation;
  StagedScan scan;
  scan.folder_ = installation.update_folder;
  auto lasting = numbers_last_at_folder(scan.folder_);
  if (!lasting) return fail(lasting.error());
  scan.basis_ = *lasting ? EntryIdentity::Basis::Number : EntryIdentity::Basis::Traits;
  const bool updating = mode == Mode::Update;
  const Opener opener{
      update, scan.basis_,
      updating && entries_written_one_by_one(scan.folder_) ? Flush::WriteoutOnly : Flush::None,
      updating && opens_stop_renames()};
  // Below a staged folder an update opens what it writes out, and where opens stop renames
  // what must be free of them; a check opens nothing there.
  const bool opens_below = updating && (opener.write_out != Flush::None || opener.waits);

  if (auto twins = check_twins(scan.folder_, staged); !twins) return fail(twins.error());
  for (const auto& entry : staged) {
    if (entry.kind == EntryKind::Link) continue;  // a mount point, which the checks refuse
    const std::string& name = *entry.name;
    const std::string path = join_path(scan.folder_, name);
    const bool folder = entry.kind == EntryKind::Directory;
    const OpenFor purpose = !updating ? OpenFor::Looking
                            : folder  ? OpenFor::Moving
                                      : OpenFor::Holding;
    auto opened = opener.open(
        path, purpose, [&](const OpenedEntry& looked) { return scan.let_go_of_held_file(looked); });
    if (!opened) return fail(opened.error());
    // POSIX names are their bytes: no two of a folder are one, and a check opens nothing.
    if (folder && (opens_below || native_path_style() == PathStyle::Windows)) {
      if (auto below = opener.below(path, opens_below); !below) return fail(below.error());
    }
    // Where numbers do not last, the identity is what lasts there, as the record's later looks
    // take it (entry_identity): the traits that the listing gives, of everything below a folder.
    EntryIdentity identity = opened->identity;
    if (scan.basis_ != EntryIdentity::Basis::Number) {
      auto traits = traits_identity(path);
      if (!traits) return fail(traits.error());
      identity = *traits;
    }
    // What a copy of the installation keeps of the entry, for a record that outlives one.
    const EntryStamp stamp{opened->kind, folder ? 0 : opened->size, opened->modified};
    scan.entries_.push_back({name, identity, stamp});
    if (!folder && file_names_equal(name, kUninstallLogName) && !scan.staged_log_) {
      auto traits = entry_traits(path);
      if (!traits) {
        return fail(prefixed("Could not tell the identity of " + path + ": ", traits.error()));
      }
      scan.staged_log_ = RecordedLog{identity, FileStamp{traits->size, traits->modified}};
    }
    Top& top = scan.tops_[file_name_key(name)];
    top.attribute = opened->forbidding_attribute;
    top.links = opened->links;
    top.size = opened->size;
    top.identity = opened->identity;
    top.linked_number = opened->linked_number;
    top.hold = std::move(opened->hold);
    // A kept file of the root that this one replaces: an open of it without delete sharing
    // refuses the replacement. The same file by another name is held by this scan alone.
    if (opener.waits && !folder && is_kept_entry(name)) {
      const std::string kept = join_path(installation.root, name);
      if (!is_regular_file(kept)) continue;
      if (top.linked_number) {
        auto same = open_entry(kept, OpenFor::Looking, scan.basis_, Flush::None);
        if (!same) return fail(same.error());
        if (same->linked_number == top.linked_number) {
          // Already in place: nothing to hold, and no rename onto another name of itself.
          top.hold.reset();
          top.in_place = true;
          continue;
        }
      }
      if (auto free = waited_for(update, kept, [&] { return check_not_open(kept); }); !free) {
        return fail(free.error());
      }
    }
  }
  return scan;
}

std::optional<std::string_view> StagedScan::forbidding_attribute(std::string_view name) const {
  const auto found = tops_.find(file_name_key(name));
  return found == tops_.end() ? std::nullopt : found->second.attribute;
}

bool StagedScan::in_place(std::string_view name) const {
  const auto found = tops_.find(file_name_key(name));
  return found != tops_.end() && found->second.in_place;
}

MoveHandle* StagedScan::hold(std::string_view name) {
  const auto found = tops_.find(file_name_key(name));
  if (found == tops_.end() || !found->second.hold) return nullptr;
  return &*found->second.hold;
}

bool StagedScan::let_go_of_held_file(const OpenedEntry& looked) {
  if (looked.links < 2 || !looked.linked_number) return false;
  for (auto& [key, top] : tops_) {
    if (top.hold && top.linked_number == looked.linked_number && top.size == looked.size) {
      top.hold.reset();
      return true;
    }
  }
  return false;
}

Status StagedScan::let_go_of_same_file(const std::string& old_path) {
  // Only a held file with other names can be the old one; most staged versions have none, and
  // then the old file is not even looked at.
  const auto candidate = [](const Top& top) { return top.hold && top.links >= 2; };
  if (std::none_of(tops_.begin(), tops_.end(),
                   [&](const auto& entry) { return candidate(entry.second); })) {
    return {};
  }
  // The old file looked at once, and compared with what the scan learned of each held file:
  // one open per old file, however many staged files have other names.
  auto old = open_entry(old_path, OpenFor::Looking, basis_, Flush::None);
  if (!old) return fail(old.error());
  if (old->links < 2) return {};
  for (auto& [key, top] : tops_) {
    if (!candidate(top) || top.size != old->size) continue;
    bool same = false;
    if (basis_ == EntryIdentity::Basis::Number) {
      same = top.identity == old->identity;
    } else if (!top.linked_number || !old->linked_number ||
               *top.linked_number == *old->linked_number) {
      // Where numbers may not outlast a reboot they still tell two existing files apart; equal
      // ones, or none, are confirmed by the contents.
      auto compared = same_file(top.hold->path(), old_path);
      if (!compared) return fail(compared.error());
      same = *compared;
    }
    if (same) {
      top.hold.reset();
      return {};
    }
  }
  return {};
}

}  // namespace vellicor
