#include "model/filerec/rebase.hpp"

#include <algorithm>
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

}  // namespace

Result<FolderMatcher> FolderMatcher::create(std::span<const std::string> from, PathStyle style) {
  FolderMatcher matcher(style);
  for (const std::string_view spelled : from) {
    if (!is_valid_utf8(spelled)) return fail(RebaseError, "");
    const auto to = parent_path(spelled, style);
    if (!to || !is_valid_utf8(*to)) return fail(RebaseError, "");
    // A trailing separator on `from` must not swallow the one that follows the folder in the
    // texts: C:\Apps\Vellicor\_\ still turns C:\Apps\Vellicor\_\a into C:\Apps\Vellicor\a.
    std::string_view folder = spelled;
    while (folder.size() > to->size() && is_separator(folder.back(), style)) {
      folder.remove_suffix(1);
    }
    Spelling spelling;
    spelling.folder = utf16le_bytes(folder);
    // The parent is the folder's path with its last component cut off, so it is a prefix of
    // the folder and every rewritten text gets shorter.
    spelling.parent_size = utf16le_bytes(*to).size();
    if (spelling.parent_size > spelling.folder.size()) return fail(RebaseError, "");
    if (style == PathStyle::Windows) {
      for (size_t i = 0; i < spelling.folder.size(); i += 2) {
        spelling.folded.push_back(upper_case_unit(load_u16(spelling.folder.data() + i)));
      }
    }
    matcher.shortest_ = std::min(matcher.shortest_, spelling.folder.size());
    matcher.spellings_.push_back(std::move(spelling));
  }
  return matcher;
}

bool FolderMatcher::starts_with(const uint8_t* text, const Spelling& spelling) const {
  const size_t n = spelling.folder.size();
  if (std::memcmp(text, spelling.folder.data(), n) == 0) return true;
  if (style_ != PathStyle::Windows) return false;
  for (size_t i = 0; i < n; i += 2) {
    if (upper_case_unit(load_u16(text + i)) != spelling.folded[i / 2]) return false;
  }
  return true;
}

bool FolderMatcher::is_separator_unit(uint16_t unit) const {
  return unit < 0x80 && is_separator(static_cast<char>(unit), style_);
}

std::optional<FolderMatcher::Match> FolderMatcher::match_spelling(const uint8_t* text,
                                                                  size_t size) const {
  for (const auto& spelling : spellings_) {
    const size_t n = spelling.folder.size();
    if (size < n || !starts_with(text, spelling)) continue;
    if (size == n || is_separator_unit(load_u16(text + n))) return Match{n, spelling.parent_size};
  }
  return std::nullopt;
}

class FileRecRebaser::State {
 public:
  State(std::span<const std::string> from, PathStyle style) : from_(from), style_(style) {}

  Status rebase(FileRec& record) {
    if (!holds_text_list(record.typ)) return {};
    // A damaged list is reported even when `from` could not be used.
    if (auto scanned = scan_text_list(record.data, texts_); !scanned) return scanned;
    if (!matcher_) {
      auto matcher = FolderMatcher::create(from_, style_);
      if (!matcher) return fail(matcher.error());
      matcher_.emplace(std::move(*matcher));
    }
    rewrite(record.data);
    return {};
  }

 private:
  // Every rewritten text is shorter than before (it loses the folder's last component), so the
  // list is rewritten inside its own bytes, front to back, and then cut to its new length. The
  // text keeps its own spelling of the parent.
  void rewrite(std::vector<uint8_t>& data) const {
    uint8_t* bytes = data.data();
    size_t kept = 0;   // bytes before this are final
    size_t taken = 0;  // bytes before this were consumed
    for (const auto& text : texts_) {
      const uint8_t* units = bytes + text.offset;
      const auto match = matcher_->match(units, text.size);
      if (!match) continue;
      const size_t entry = text.offset - kTextEntryHeaderSize;
      move_down(bytes, kept, taken, entry - taken);
      const size_t parent = match->parent_size;
      const size_t rest = text.size - match->folder_size;
      bytes[kept] = kTextEntry;
      store_i32(bytes + kept + 1, -static_cast<int32_t>(parent + rest));
      kept += kTextEntryHeaderSize;
      move_down(bytes, kept, text.offset, parent);
      move_down(bytes, kept, text.offset + match->folder_size, rest);
      taken = text.offset + text.size;
    }
    if (taken == 0) return;  // nothing inside the folder: the record stays as it is
    move_down(bytes, kept, taken, data.size() - taken);
    data.resize(kept);
  }

  // Moves `size` bytes from `from` down to `kept` and advances `kept` past them. Until the first
  // text that shrinks, the bytes are already where they belong (the first match keeps its
  // parent in place): those, and empty pieces, cost no call.
  static void move_down(uint8_t* bytes, size_t& kept, size_t from, size_t size) {
    if (kept != from && size != 0) std::memmove(bytes + kept, bytes + from, size);
    kept += size;
  }

  std::span<const std::string> from_;
  PathStyle style_;
  std::optional<FolderMatcher> matcher_;
  std::vector<TextSpan> texts_;
};

FileRecRebaser::FileRecRebaser(std::span<const std::string> from, PathStyle style)
    : state_(std::make_unique<State>(from, style)) {}

FileRecRebaser::~FileRecRebaser() = default;

Status FileRecRebaser::rebase(FileRec& record) {
  return state_->rebase(record);
}

namespace {

Result<std::vector<FileRec>> rebase_all(std::vector<FileRec> records, FileRecRebaser& rebaser) {
  for (size_t i = 0; i < records.size(); ++i) {
    if (i + kPrefetchAhead < records.size()) prefetch_data(records[i + kPrefetchAhead]);
    if (auto rebased = rebaser.rebase(records[i]); !rebased) return fail(rebased.error());
  }
  return records;
}

}  // namespace

Result<FileRec> rebase_file_rec(FileRec record, std::string_view from, PathStyle style) {
  const std::string folder(from);
  FileRecRebaser rebaser(std::span(&folder, 1), style);
  if (auto rebased = rebaser.rebase(record); !rebased) return fail(rebased.error());
  return record;
}

Result<std::vector<FileRec>> rebase_file_recs(std::vector<FileRec> records, std::string_view from,
                                              PathStyle style) {
  const std::string folder(from);
  FileRecRebaser rebaser(std::span(&folder, 1), style);
  return rebase_all(std::move(records), rebaser);
}

Result<std::vector<FileRec>> rebase_file_recs(std::vector<FileRec> records,
                                              std::span<const std::string> from, PathStyle style) {
  FileRecRebaser rebaser(from, style);
  return rebase_all(std::move(records), rebaser);
}

}  // namespace vellicor
