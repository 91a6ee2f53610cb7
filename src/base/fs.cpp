#include "base/fs.hpp"

namespace vellicor {

EntryKind entry_kind_from_attributes(uint32_t attributes, uint32_t reparse_tag) {
  constexpr uint32_t kDirectory = 0x10;
  constexpr uint32_t kReparsePoint = 0x400;
  constexpr uint32_t kNameSurrogate = 0x20000000;
  if ((attributes & kReparsePoint) && (reparse_tag & kNameSurrogate)) return EntryKind::Link;
  if (attributes & kDirectory) return EntryKind::Directory;
  return EntryKind::File;
}

}  // namespace vellicor
