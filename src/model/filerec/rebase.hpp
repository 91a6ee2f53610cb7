#pragma once
// Moves the paths in an uninstall log's records from the update folder to its parent: every
// text of a 0x81 or 0x82 record that lies in folder `from` is rewritten to lie in the parent.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/path.hpp"
#include "model/errors.hpp"
#include "model/filerec/file_rec.hpp"

namespace vellicor {

// A text is rewritten when it equals `from` or continues with a path separator after it;
// C:\Apps\Vellicor\_old\a.txt is not inside C:\Apps\Vellicor\_. On POSIX the comparison is
// exact; on Windows it ignores letter case, as the file system does, and the text keeps its own
// spelling of the parent (c:\apps\vellicor\_\a.txt becomes c:\apps\vellicor\a.txt). Records of
// other types come back unchanged.
// Fails with the StringDecodeError of a damaged text list, or with a RebaseError when a
// record has to be rewritten and `from` is not valid UTF-8 or has no parent.
[[nodiscard]] Result<FileRec> rebase_file_rec(FileRec record, std::string_view from,
                                              PathStyle style = native_path_style());

// Rebases every record in order; the first error ends it and nothing partial is returned.
[[nodiscard]] Result<std::vector<FileRec>> rebase_file_recs(std::vector<FileRec> records,
                                                            std::string_view from,
                                                            PathStyle style = native_path_style());

// Whether a text of a record lies in the update folder, by any of the folder's spellings, as the
// rebase decides it (rebase_file_rec): the text equals the folder or continues with a path
// separator after it. Works on a text's UTF-16LE bytes where the record holds them.
class FolderMatcher {
 public:
  // A RebaseError when a spelling is not valid UTF-8 or has no parent.
  [[nodiscard]] static Result<FolderMatcher> create(std::span<const std::string> from,
                                                    PathStyle style = native_path_style());

  struct Match {
    size_t folder_size;  // bytes at the text's start that spell the folder
    size_t parent_size;  // bytes of the spelling that name the folder's parent
  };
  // The first spelling that the text lies in, or nothing. Most texts of a log are empty or short
  // (a file record holds one path and four empty texts): those are told apart here, inline.
  std::optional<Match> match(const uint8_t* text, size_t size) const {
    if (size < shortest_) return std::nullopt;
    return match_spelling(text, size);
  }

  // Whether a UTF-16 unit separates path components.
  bool is_separator_unit(uint16_t unit) const;

 private:
  // One spelling of the folder: its UTF-16LE bytes, and how many of them spell the parent.
  struct Spelling {
    std::vector<uint8_t> folder;
    std::vector<char16_t> folded;  // upper-cased units, for Windows' comparison
    size_t parent_size = 0;
  };

  explicit FolderMatcher(PathStyle style) : style_(style) {}
  bool starts_with(const uint8_t* text, const Spelling& spelling) const;
  std::optional<Match> match_spelling(const uint8_t* text, size_t size) const;

  PathStyle style_;
  std::vector<Spelling> spellings_;
  size_t shortest_ = SIZE_MAX;  // the bytes of the shortest spelling
};

// Rebases records one at a time, as they stream by: the state the rebase prepares once (the
// folder's spellings as UTF-16) is kept between records.
class FileRecRebaser {
 public:
  // `from` must outlive the rebaser.
  FileRecRebaser(std::span<const std::string> from, PathStyle style = native_path_style());
  FileRecRebaser(const FileRecRebaser&) = delete;
  FileRecRebaser& operator=(const FileRecRebaser&) = delete;
  ~FileRecRebaser();

  // Rewrites the record in place; the errors of rebase_file_rec.
  [[nodiscard]] Status rebase(FileRec& record);

 private:
  class State;
  std::unique_ptr<State> state_;
};

// The same with several spellings of one folder (as the installer wrote it, as the file system
// resolves it): a text is rewritten by the first spelling that it lies in.
[[nodiscard]] Result<std::vector<FileRec>> rebase_file_recs(std::vector<FileRec> records,
                                                            std::span<const std::string> from,
                                                            PathStyle style = native_path_style());

}  // namespace vellicor
