#include "base/fs.hpp"

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <memory>
#include <vector>

#include "base/buffered_io.hpp"
#include "base/durability.hpp"
#include "base/entry_identity.hpp"
#include "base/file.hpp"
#include "base/fnv1a.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"
#include "base/tree_removal.hpp"
#include "base/tree_walk.hpp"
#include "base/volume.hpp"

namespace vellicor {

EntryKind entry_kind_from_attributes(uint32_t attributes, uint32_t reparse_tag) {
  constexpr uint32_t kDirectory = 0x10;
  constexpr uint32_t kReparsePoint = 0x400;
  constexpr uint32_t kNameSurrogate = 0x20000000;
  if ((attributes & kReparsePoint) && (reparse_tag & kNameSurrogate)) return EntryKind::Link;
  if (attributes & kDirectory) return EntryKind::Directory;
  return EntryKind::File;
}

namespace {

// Every entry below `folder`, in name order: its path below it, kind, and for a file its size
// and time. A folder's own size and time are left out: they change with what it holds, and on
// some file systems when it moves.
Status digest_tree(const std::string& folder, const std::string& below, Fnv1a& digest) {
  auto entries = list_directory(folder);
  if (!entries) return fail(entries.error());
  std::vector<std::string> names;
  for (const auto& entry : *entries) {
    if (!entry.name) return fail_other("Could not get entry name");
    names.push_back(*entry.name);
  }
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    const std::string path = join_path(folder, name);
    auto traits = entry_traits(path);
    if (!traits) return fail(traits.error());
    // Each name ends with a zero byte, which no name holds.
    digest.add_bytes(below + "/" + name);
    digest.add_byte(0);
    digest.add_number(static_cast<uint64_t>(traits->kind));
    if (traits->kind == EntryKind::Directory) {
      if (auto inner = digest_tree(path, below + "/" + name, digest); !inner) return inner;
    } else {
      digest.add_number(traits->size);
      digest.add_number(traits->modified);
    }
  }
  return {};
}

}  // namespace

bool same_entry(const EntryIdentity& a, const EntryIdentity& b) {
  if (a.basis != b.basis) return false;
  if (a.basis == EntryIdentity::Basis::Traits) return a.fields == b.fields;
  const auto known_equal = [&](size_t i) {
    return a.fields[i] == 0 || b.fields[i] == 0 || a.fields[i] == b.fields[i];
  };
  return a.fields[1] == b.fields[1] && a.fields[2] == b.fields[2] && known_equal(0) &&
         known_equal(3);
}

Result<EntryIdentity> traits_identity(std::string_view path, FolderTraits folders) {
  const std::string unidentified = "Could not tell the identity of " + std::string(path) + ": ";
  auto traits = entry_traits(path);
  if (!traits) return fail(prefixed(unidentified, traits.error()));
  EntryIdentity identity{EntryIdentity::Basis::Traits,
                         {static_cast<uint64_t>(traits->kind), traits->size, traits->modified, 0}};
  if (traits->kind == EntryKind::Directory) {
    identity.fields = {static_cast<uint64_t>(traits->kind), 0, 0, 0};
    if (folders == FolderTraits::KindOnly) return identity;
    Fnv1a digest;
    if (auto walked = digest_tree(std::string(path), "", digest); !walked) {
      return fail(prefixed(unidentified, walked.error()));
    }
    identity.fields = {static_cast<uint64_t>(traits->kind), 0, 0, digest.value()};
  }
  return identity;
}

namespace {

bool named(const WindowsVolume& volume, std::initializer_list<std::string_view> names) {
  return std::any_of(names.begin(), names.end(), [&](std::string_view name) {
    return volume.file_system.size() == name.size() &&
           std::equal(name.begin(), name.end(), volume.file_system.begin(), [](char a, char b) {
             return std::tolower(static_cast<unsigned char>(a)) ==
                    std::tolower(static_cast<unsigned char>(b));
           });
  });
}

}  // namespace

bool windows_numbers_last(const WindowsVolume& volume) {
  constexpr uint32_t kSupportsOpenByFileId = 0x01000000;
  return volume.answered && !volume.remote && named(volume, {"NTFS", "ReFS"}) &&
         (volume.flags & kSupportsOpenByFileId) != 0;
}

bool windows_renames_ordered(const WindowsVolume& volume) {
  return volume.answered && !volume.remote && named(volume, {"NTFS", "ReFS"});
}

bool windows_folder_moves_known(const WindowsVolume& volume) {
  return volume.answered && !volume.remote &&
         named(volume, {"NTFS", "ReFS", "FAT", "FAT32", "exFAT"});
}

bool windows_file_id_usable(const std::array<uint8_t, 16>& id) {
  const auto all = [&](uint8_t value) {
    return std::all_of(id.begin(), id.end(), [&](uint8_t byte) { return byte == value; });
  };
  return !all(0) && !all(0xFF);
}

Status rename_with(Flush flush, std::string_view from, std::string_view to) {
  return flush == Flush::HardwareFlush ? rename_durably(from, to) : rename_replacing(from, to);
}

uint32_t windows_move_flags(bool directory, Flush flush) {
  constexpr uint32_t kReplaceExisting = 0x1, kWriteThrough = 0x8;
  return (directory ? 0 : kReplaceExisting) | (flush == Flush::HardwareFlush ? kWriteThrough : 0);
}

Result<std::string> resolve_path_as_far_as_it_exists(std::string_view path) {
  auto resolved = resolve_path(path);
  if (resolved || !is_not_found(resolved.error())) return resolved;
  const auto folder = parent_path(path);
  const auto name = path_file_name(path);
  if (!folder || !name) return resolved;
  auto above = resolve_path_as_far_as_it_exists(*folder);
  if (!above) return above;
  return join_path(*above, *name);
}

Status replace_file_durably(std::string_view path, std::string_view temp,
                            std::string_view content) {
  if (auto removed = remove_file_if_present(temp); !removed) return removed;
  auto file = File::create_new(temp);
  if (!file) return fail(file.error());
  BufferedWriter writer(*file);
  if (auto written = writer.write_all(content.data(), content.size()); !written) return written;
  if (auto handed = writer.flush(); !handed) return handed;
  if (auto flushed = file->flush(); !flushed) return flushed;
  if (auto closed = file->close(); !closed) return closed;
  return rename_durably(temp, path);
}

Result<bool> remove_file_durably(std::string_view path, std::string_view temp) {
  // The file leaves its name in a rename that is on the device when it returns, so that it
  // cannot come back; then the temporary name goes, with a leftover of an earlier removal or
  // replacement, and that is flushed too, so that nothing of the file outlives the call.
  auto traits = entry_traits(path);
  if (!traits && !is_not_found(traits.error())) return fail(traits.error());
  if (traits && traits->kind == EntryKind::Directory) {
    return fail_other(std::string(path) + " is a folder");
  }
  bool existed = traits.has_value();
  // A rename whose flush failed was made, but may not be on the device: the failure is the
  // answer (a flush's error is never retried into success), and the temporary name still goes,
  // so that nothing of the file outlives the call where the power stays on.
  std::optional<Error> unflushed;
  if (existed) {
    if (auto renamed = rename_durably(path, temp); !renamed) {
      if (renamed.error().kind() == FlushError) {
        unflushed = renamed.error();
      } else if (!is_not_found(renamed.error())) {
        return fail(renamed.error());
      } else {
        existed = false;
      }
    }
  }
  auto left = entry_traits(temp);
  if (!left && !is_not_found(left.error())) return fail(unflushed.value_or(left.error()));
  if (left) {
    if (auto removed = remove_file(temp); !removed)
      return fail(unflushed.value_or(removed.error()));
    const auto folder = parent_path(temp);
    if (auto flushed = folder ? flush_directory(*folder) : Status{}; !flushed) {
      return fail(unflushed.value_or(flushed.error()));
    }
  }
  if (unflushed) return fail(*unflushed);
  return existed;
}

Error entry_changed_error(std::string_view path, std::string_view how) {
  return Error(EntryChangedError,
               std::string(path) + " changed while the update ran: " + std::string(how));
}

namespace {

// Removes the folder at `path` with everything in it: every folder's files and links as it is
// listed, each through its folder, then the emptied folders, the deepest first.
Status remove_walked_tree(std::string_view path) {
  std::vector<std::shared_ptr<const FolderPlace>> folders;
  auto emptied = walk_breadth_first(
      path, [&](const WalkedFolder& folder, std::vector<DirEntry>& entries) -> Status {
        folders.push_back(folder.place());
        for (const auto& entry : entries) {
          if (!entry.name) return fail_other("Could not get entry name");
          if (entry.kind == EntryKind::Directory) continue;
          if (auto removed = remove_walked_entry(folder, entry); !removed) return removed;
        }
        return {};
      });
  if (!emptied) return emptied;
  // A folder listed later lies deeper, or beside: the last one listed is empty by now.
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
    if (auto removed = remove_walked_folder(*folder); !removed) return removed;
  }
  return {};
}

}  // namespace

Status remove_directory_tree(std::string_view path) {
  auto self = listed_entry(path);
  if (!self) return fail(self.error());
  if (self->kind == EntryKind::Link) return remove_listed_entry(path, *self);
  return remove_walked_tree(path);
}

Status remove_folder_tree(std::string_view path) {
  auto self = listed_entry(path);
  if (!self) return fail(self.error());
  if (self->mount_point) {
    return fail(entry_changed_error(path, "another file system is mounted on it now"));
  }
  if (self->kind == EntryKind::Link) return fail(entry_changed_error(path, "it is a link now"));
  if (self->kind != EntryKind::Directory) {
    return fail(entry_changed_error(path, "it is no longer a folder"));
  }
  // A link that takes its place from here on is refused by the walk's open of the top (POSIX).
  return remove_walked_tree(path);
}

Result<std::string> read_small_file(File& file, size_t limit) {
  std::string text;
  char buffer[4096];
  for (;;) {
    auto got = file.read(buffer, sizeof buffer);
    if (!got) return fail(got.error());
    if (*got == 0) return text;
    text.append(buffer, *got);
    if (text.size() > limit) return text;
  }
}

}  // namespace vellicor
