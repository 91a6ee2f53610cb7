#include "base/fs.hpp"

#include "base/buffered_io.hpp"
#include "base/file.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"

namespace vellicor {

EntryKind entry_kind_from_attributes(uint32_t attributes, uint32_t reparse_tag) {
  constexpr uint32_t kDirectory = 0x10;
  constexpr uint32_t kReparsePoint = 0x400;
  constexpr uint32_t kNameSurrogate = 0x20000000;
  if ((attributes & kReparsePoint) && (reparse_tag & kNameSurrogate)) return EntryKind::Link;
  if (attributes & kDirectory) return EntryKind::Directory;
  return EntryKind::File;
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
  if (auto renamed = rename_replacing(temp, path); !renamed) return renamed;
  const auto folder = parent_path(path);
  return folder ? flush_directory(*folder) : Status{};
}

Result<bool> remove_file_durably(std::string_view path, std::string_view temp) {
  if (auto removed = remove_file_if_present(temp); !removed) return fail(removed.error());
  bool was_there = true;
  if (auto removed = remove_file(path); !removed) {
    if (!is_not_found(removed.error())) return fail(removed.error());
    was_there = false;
  }
  const auto folder = parent_path(path);
  if (auto flushed = folder ? flush_directory(*folder) : Status{}; !flushed) {
    return fail(flushed.error());
  }
  return was_there;
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
