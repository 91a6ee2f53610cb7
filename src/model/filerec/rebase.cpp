#include "model/filerec/rebase.hpp"

#include <cstring>
#include <optional>

#include "base/utf.hpp"
#include "model/filerec/text_list.hpp"
#include "model/little_endian.hpp"

namespace vellicor {
namespace {

// The rebase works on a list's UTF-16LE bytes where they lie instead of decoding every text:
// with empty texts kept, a list that decodes encodes back to exactly its own bytes, so
// rewriting only the matching entries gives the same data as decode, rewrite and encode.
std::vector<uint8_t> utf16le_bytes(std::string_view utf8) {
  std::vector<uint8_t> bytes;
  // Callers pass checked UTF-8.
  for (char16_t unit : utf8_to_utf16(utf8).value_or(std::u16string())) {
    bytes.push_back(static_cast<uint8_t>(unit));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return bytes;
}

bool is_separator(char c, PathStyle style) {
  return c == '/' || (style == PathStyle::Windows && c == '\\');
}

class Rebaser {
 public:
  Rebaser(std::string_view from, PathStyle style) : from_(from), style_(style) {}

  Status rebase(FileRec& record) {
    if (!holds_text_list(record.typ)) return {};
    // A damaged list is reported even when `from` could not be used.
    if (auto scanned = scan_text_list(record.data, texts_); !scanned) return scanned;
    if (!prepared_) {
      if (auto prepared = prepare(); !prepared) return prepared;
    }
    rewrite(record.data);
    return {};
  }

 private:
  Status prepare() {
    if (!is_valid_utf8(from_)) return fail(ErrorKind::Rebase, "");
    const auto to = parent_path(from_, style_);
    if (!to || !is_valid_utf8(*to)) return fail(ErrorKind::Rebase, "");
    // A trailing separator on `from` must not swallow the one that follows the folder in the
    // texts: C:\Apps\Vellicor\_\ still turns C:\Apps\Vellicor\_\a into C:\Apps\Vellicor\a.
    std::string_view folder = from_;
    while (folder.size() > to->size() && is_separator(folder.back(), style_)) {
      folder.remove_suffix(1);
    }
    from_units_ = utf16le_bytes(folder);
    to_units_ = utf16le_bytes(*to);
    // The rewrite relies on the parent being no longer than the folder, which holds because
    // the parent is the folder's path with its last component cut off.
    if (to_units_.size() > from_units_.size()) return fail(ErrorKind::Rebase, "");
    prepared_ = true;
    return {};
  }

  bool inside_folder(const uint8_t* text, size_t size) const {
    const size_t n = from_units_.size();
    if (size < n || std::memcmp(text, from_units_.data(), n) != 0) return false;
    if (size == n) return true;
    const uint16_t next = load_u16(text + n);
    return next < 0x80 && is_separator(static_cast<char>(next), style_);
  }

  // Every rewritten text is shorter than before (the parent is a prefix of the folder), so
  // the list is rewritten inside its own bytes, front to back, and then cut to its new length.
  void rewrite(std::vector<uint8_t>& data) const {
    uint8_t* bytes = data.data();
    size_t kept = 0;   // bytes before this are final
    size_t taken = 0;  // bytes before this were consumed
    for (const auto& text : texts_) {
      const uint8_t* units = bytes + text.offset;
      if (!inside_folder(units, text.size)) continue;
      const size_t entry = text.offset - kTextEntryHeaderSize;
      std::memmove(bytes + kept, bytes + taken, entry - taken);
      kept += entry - taken;
      const size_t rest = text.size - from_units_.size();
      bytes[kept] = kTextEntry;
      store_i32(bytes + kept + 1, -static_cast<int32_t>(to_units_.size() + rest));
      kept += kTextEntryHeaderSize;
      std::memcpy(bytes + kept, to_units_.data(), to_units_.size());
      kept += to_units_.size();
      std::memmove(bytes + kept, units + from_units_.size(), rest);
      kept += rest;
      taken = text.offset + text.size;
    }
    if (taken == 0) return;  // nothing inside the folder: the record stays as it is
    std::memmove(bytes + kept, bytes + taken, data.size() - taken);
    data.resize(kept + data.size() - taken);
  }

  std::string_view from_;
  PathStyle style_;
  bool prepared_ = false;
  std::vector<uint8_t> from_units_;
  std::vector<uint8_t> to_units_;
  std::vector<TextSpan> texts_;
};

}  // namespace

Result<FileRec> rebase_file_rec(FileRec record, std::string_view from, PathStyle style) {
  Rebaser rebaser(from, style);
  if (auto rebased = rebaser.rebase(record); !rebased) return fail(rebased.error());
  return record;
}

Result<std::vector<FileRec>> rebase_file_recs(std::vector<FileRec> records, std::string_view from,
                                              PathStyle style) {
  Rebaser rebaser(from, style);
  for (size_t i = 0; i < records.size(); ++i) {
    if (i + kPrefetchAhead < records.size()) prefetch_data(records[i + kPrefetchAhead]);
    if (auto rebased = rebaser.rebase(records[i]); !rebased) return fail(rebased.error());
  }
  return records;
}

}  // namespace vellicor
