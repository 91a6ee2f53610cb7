#include "update/staged_check.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/fs.hpp"
#include "base/path.hpp"
#include "base/utf.hpp"
#include "base/volume.hpp"
#include "logging/logger.hpp"
#include "model/filerec/rebase.hpp"
#include "model/filerec/text_list.hpp"
#include "model/little_endian.hpp"
#include "model/uninstall_log.hpp"
#include "update/installation.hpp"

namespace vellicor {
namespace {

constexpr std::string_view kStagedLogName = "unins000.dat";

struct Outcome {
  uint64_t checked = 0;
  uint64_t missing = 0;
  std::string first_missing;
};

// The log to read; an empty text when the update folder holds none.
Result<std::string> staged_log_path(const Installation& installation,
                                    const StagedCheckScope& scope) {
  if (!scope.log_path.empty()) return scope.log_path;
  auto entries = list_directory(installation.update_folder);
  if (!entries) return fail(entries.error());
  for (const auto& entry : *entries) {
    if (entry.name && file_names_equal(*entry.name, kStagedLogName)) {
      return join_path(installation.update_folder, *entry.name);
    }
  }
  return std::string();
}

// Which of the files that a log names in a folder to look for: those below the top-level
// entries of the folder (given by name) for which it gives true.
using TopLevelFilter = std::function<bool(std::string_view name)>;

// Looks for the file of each file record that lies in one folder, one record at a time, in
// buffers that are reused.
class LoggedFiles {
 public:
  LoggedFiles(const std::string& folder, uint64_t volume, const TopLevelFilter& filter,
              const FolderMatcher& matcher, Outcome& outcome)
      : folder_(folder), volume_(volume), filter_(filter), matcher_(matcher), outcome_(outcome) {}

  Status visit(const FileRec& record) {
    if (record.typ != FileRecType::DeleteFile) return {};
    if (auto scanned = scan_text_list(record.data, texts_); !scanned) return scanned;
    if (texts_.empty()) return {};
    const uint8_t* text = record.data.data() + texts_.front().offset;
    const size_t size = texts_.front().size;
    const auto match = matcher_.match(text, size);
    if (!match || !take_place(text + match->folder_size, size - match->folder_size)) return {};
    if (filter_ && !filter_(top_level_)) return {};
    ++outcome_.checked;
    if (!reached_ || !is_regular_file(path_)) {
      if (outcome_.missing == 0) outcome_.first_missing = path_;
      ++outcome_.missing;
    }
    return {};
  }

 private:
  // Makes path_ the place in the folder that the rest of a text names (what follows the
  // folder's spelling: nothing, or a separator and more), spelled with the folder's resolved
  // path, top_level_ its first component, and reached_ whether every folder on the way is one
  // of the folder's own (not a link, junction or mount point). False for the folder itself and
  // for a place that ".." takes out of it. The units go straight into reused buffers: this runs
  // for every file of the new version.
  bool take_place(const uint8_t* rest, size_t size) {
    path_ = folder_;
    top_level_.clear();
    reached_ = true;
    const size_t units = size / 2;
    for (size_t i = 0; i < units; ++i) {
      component_.clear();
      for (; i < units; ++i) {
        const char16_t unit = load_u16(rest + 2 * i);
        if (matcher_.is_separator_unit(unit)) break;
        char32_t code_point = unit;
        // The list was checked: a high surrogate is followed by its low one.
        if (is_high_surrogate(unit) && i + 1 < units) {
          code_point = surrogate_pair_code_point(unit, load_u16(rest + 2 * ++i));
        }
        append_utf8(component_, code_point);
      }
      if (component_.empty() || component_ == ".") continue;
      if (component_ == "..") return false;
      if (top_level_.empty()) {
        top_level_ = component_;
      } else if (reached_) {
        reached_ = is_own_folder(path_);
      }
      path_ += separator_;
      path_ += component_;
    }
    return !top_level_.empty();
  }

  // Each folder is asked once.
  bool is_own_folder(const std::string& path) {
    const auto known = folders_.find(path);
    if (known != folders_.end()) return known->second;
    return folders_[path] = is_folder_on_volume(path, volume_);
  }

  const std::string& folder_;
  const uint64_t volume_;
  const TopLevelFilter& filter_;
  const FolderMatcher& matcher_;
  Outcome& outcome_;
  std::vector<TextSpan> texts_;
  const char separator_ = native_path_style() == PathStyle::Windows ? '\\' : '/';
  std::string component_;
  std::string path_;
  std::string top_level_;
  bool reached_ = true;
  std::unordered_map<std::string, bool> folders_;
};

// Looks for every file that the log at `log_path` names in `folder` (by any of its
// `spellings`) and that `filter` lets through.
Status check_against(std::string_view log_path, const std::string& folder,
                     std::span<const std::string> spellings, const TopLevelFilter& filter,
                     Outcome& outcome) {
  auto matcher = FolderMatcher::create(spellings);
  if (!matcher) return fail(matcher.error());
  auto own = metadata(folder);
  if (!own) return fail(own.error());
  LoggedFiles files(folder, own->volume, filter, *matcher, outcome);
  const FileRecVisitor visitor{.record = [&](FileRec& record) { return files.visit(record); }};
  return without_memory_exhaustion([&] { return read_file_recs(log_path, visitor); });
}

// "1 file that its uninstall log names is missing, <path>", "3 files ... the first <path>"
std::string missing_text(const Outcome& outcome) {
  if (outcome.missing == 1) {
    return "1 file that its uninstall log names is missing, " + outcome.first_missing;
  }
  return std::to_string(outcome.missing) +
         " files that its uninstall log names are missing, the first " + outcome.first_missing;
}

}  // namespace

Status check_staged_version(Logger& logger, const Installation& installation,
                            const StagedCheckScope& scope) {
  auto log_path = staged_log_path(installation, scope);
  if (log_path && log_path->empty()) return {};
  Outcome outcome;
  const Status read =
      log_path ? check_against(*log_path, installation.update_folder,
                               installation.update_folder_spellings, scope.still_staged, outcome)
               : Status(fail(log_path.error()));
  if (read) {
    log_info(logger, "Checked " + std::to_string(outcome.checked) +
                         " files of the staged version against its uninstall log");
  } else {
    // The log is the installer's own account of the new version, but the update does not
    // need it: without it the update goes on as it would without the check. Files found
    // missing before a damaged record still stop it.
    log_warning(logger, "The staged version could not be checked against its uninstall log: " +
                            read.error().display_text());
  }
  if (outcome.missing == 0) return {};
  return fail_other("The staged version is incomplete: " + missing_text(outcome));
}

std::optional<std::string> why_not_whole(const Installation& installation) {
  // The root as the log may spell it: the parent of each spelling of the update folder.
  std::vector<std::string> spellings;
  for (const auto& folder : installation.update_folder_spellings)
    spellings.push_back(parent_path(folder).value_or(installation.root));
  std::string in_update_folder;
  const TopLevelFilter outside_update_folder = [&](std::string_view name) {
    if (!file_names_equal(name, kUpdateFolderName)) return true;
    if (in_update_folder.empty()) in_update_folder = installation.update_folder;
    return false;
  };
  Outcome outcome;
  const Status read = check_against(installation.uninstall_log, installation.root, spellings,
                                    outside_update_folder, outcome);
  if (!read) return "its uninstall log cannot be read: " + read.error().display_text();
  if (!in_update_folder.empty()) {
    return "its uninstall log names files in " + in_update_folder + ", not yet in their places";
  }
  if (outcome.checked == 0) return "its uninstall log names no file in it";
  if (outcome.missing > 0) return missing_text(outcome);
  if (!is_regular_file(installation.code_path)) return installation.code_path + " is missing";
  return std::nullopt;
}

}  // namespace vellicor
