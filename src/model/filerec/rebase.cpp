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

  void rewrite(std::vector<uint8_t>& data) const {
    const TextSpan* first = nullptr;
    for (const auto& text : texts_) {
      if (inside_folder(data.data() + text.offset, text.size)) {
        first = &text;
        break;
      }
    }
    if (!first) return;  // the common case: the record stays as it is

    std::vector<uint8_t> out;
    out.reserve(data.size());
    size_t copied = 0;
    for (const TextSpan* text = first; text != texts_.data() + texts_.size(); ++text) {
      const uint8_t* units = data.data() + text->offset;
      if (!inside_folder(units, text->size)) continue;
      const size_t entry = text->offset - kTextEntryHeaderSize;
      out.insert(out.end(), data.begin() + copied, data.begin() + entry);
      const size_t rest = text->size - from_units_.size();
      const size_t size = to_units_.size() + rest;
      uint8_t header[kTextEntryHeaderSize] = {kTextEntry};
      store_i32(header + 1, -static_cast<int32_t>(size));
      out.insert(out.end(), header, header + kTextEntryHeaderSize);
      out.insert(out.end(), to_units_.begin(), to_units_.end());
      out.insert(out.end(), units + from_units_.size(), units + text->size);
      copied = text->offset + text->size;
    }
    out.insert(out.end(), data.begin() + copied, data.end());
    data = std::move(out);
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
  for (auto& record : records) {
    if (auto rebased = rebaser.rebase(record); !rebased) return fail(rebased.error());
  }
  return records;
}

}  // namespace vellicor
