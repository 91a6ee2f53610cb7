#include "update/update_record.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <iterator>
#include <span>
#include <string>
#include <unordered_map>

#include "base/file.hpp"
#include "base/hex.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"
#include "logging/logger.hpp"
#include "update/installation.hpp"
#include "update/update_context.hpp"

namespace vellicor {
namespace {

// The record's first line for each phase: what a person who finds the file can read. An
// earlier build wrote this line alone.
constexpr std::array<std::string_view, 2> kPhaseLines = {
    "Vellicor update in progress: deleting the old version\n",
    "Vellicor update in progress: moving the new version in\n",
};

// Then one line per staged entry: "staged <basis>:<field>:<field>:<field>:<field> <name>", the
// basis "num" or "traits" and the identity's fields in hex, the name with "\" and line feeds
// escaped (a POSIX name may hold either). An earlier build wrote "staged <volume>:<index>
// <name>", a number without its incarnation.
constexpr std::string_view kStagedPrefix = "staged ";
constexpr std::string_view kBasisNames[] = {"num", "traits"};

// Before them, where the root held an uninstall log when the update began, one line with that
// log's identity: "log <basis>:<field>:<field>:<field>:<field>".
constexpr std::string_view kLogPrefix = "log ";

// Far more than any record: the update folder holds the application's few top-level entries.
constexpr size_t kMaxRecordSize = 1 << 20;

std::string temp_path(const Installation& installation) {
  return join_path(installation.root, kUpdateRecordTempName);
}

std::string escaped(std::string_view name) {
  std::string out;
  for (const char c : name) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<std::string> unescaped(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) return std::nullopt;
    if (text[i] == '\\') {
      out += '\\';
    } else if (text[i] == 'n') {
      out += '\n';
    } else {
      return std::nullopt;
    }
  }
  return out;
}

std::string identity_text(const EntryIdentity& identity) {
  std::string text(kBasisNames[static_cast<size_t>(identity.basis)]);
  for (const uint64_t field : identity.fields)
    text += ":" + lower_hex(field);
  return text;
}

std::string staged_line(const StagedEntry& entry) {
  return std::string(kStagedPrefix) + identity_text(entry.identity) + " " + escaped(entry.name) +
         "\n";
}

// A whole field of lower-case hex digits.
std::optional<uint64_t> parse_hex(std::string_view text) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

// "<basis>:<four fields>", or an earlier build's "<volume>:<index>".
std::optional<EntryIdentity> parse_identity(std::string_view text) {
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    const size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon - start));
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  EntryIdentity identity;
  std::span<const std::string_view> numbers(parts);
  if (parts.size() == 2) {
    numbers = numbers.subspan(0, 2);
  } else {
    const auto basis = std::find(std::begin(kBasisNames), std::end(kBasisNames), parts[0]);
    if (parts.size() != 5 || basis == std::end(kBasisNames)) return std::nullopt;
    identity.basis = static_cast<EntryIdentity::Basis>(basis - std::begin(kBasisNames));
    numbers = numbers.subspan(1);
  }
  for (size_t i = 0; i < numbers.size(); ++i) {
    const auto value = parse_hex(numbers[i]);
    if (!value) return std::nullopt;
    // An earlier build's index is the low half.
    identity.fields[numbers.size() == 2 && i == 1 ? 2 : i] = *value;
  }
  return identity;
}

std::optional<StagedEntry> parse_staged_line(std::string_view line) {
  if (!line.starts_with(kStagedPrefix)) return std::nullopt;
  line.remove_prefix(kStagedPrefix.size());
  const size_t space = line.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  auto identity = parse_identity(line.substr(0, space));
  if (!identity) return std::nullopt;
  StagedEntry entry;
  entry.identity = *identity;
  auto name = unescaped(line.substr(space + 1));
  if (!name || name->empty()) return std::nullopt;
  entry.name = std::move(*name);
  return entry;
}

std::optional<UpdateRecord> parse_record(std::string_view text) {
  const auto phase = std::find_if(kPhaseLines.begin(), kPhaseLines.end(),
                                  [&](std::string_view line) { return text.starts_with(line); });
  if (phase == kPhaseLines.end()) return std::nullopt;
  text.remove_prefix(phase->size());
  std::optional<EntryIdentity> log;
  if (text.starts_with(kLogPrefix)) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    // Only the form with a basis: the earlier "<volume>:<index>" was never written here.
    const std::string_view identity = text.substr(kLogPrefix.size(), end - kLogPrefix.size());
    if (std::count(identity.begin(), identity.end(), ':') == 4) log = parse_identity(identity);
    if (!log) return std::nullopt;
    text.remove_prefix(end + 1);
  }
  std::vector<StagedEntry> staged;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // cut short: not written by us
    auto entry = parse_staged_line(text.substr(0, end));
    if (!entry) return std::nullopt;
    staged.push_back(std::move(*entry));
    text.remove_prefix(end + 1);
  }
  UpdateRecord record(static_cast<UpdatePhase>(phase - kPhaseLines.begin()), std::move(staged));
  record.set_uninstall_log(log);
  return record;
}

// The entries a record began with, each found by its name in one look; of two entries with
// names that compare equal, the first.
class StagedByName {
 public:
  explicit StagedByName(const std::vector<StagedEntry>& staged) {
    for (const auto& entry : staged)
      entries_.try_emplace(file_name_key(entry.name), &entry);
  }
  const StagedEntry* find(std::string_view name) const {
    const auto found = entries_.find(file_name_key(name));
    return found == entries_.end() ? nullptr : found->second;
  }

 private:
  std::unordered_map<std::string, const StagedEntry*> entries_;
};

// The identity of the entry at `path`, or nothing when nothing is there.
Result<std::optional<EntryIdentity>> identity_if_present(const std::string& path) {
  auto identity = entry_identity(path);
  if (identity) return std::optional(*identity);
  if (is_not_found(identity.error())) return std::optional<EntryIdentity>();
  return fail(identity.error());
}

// The entries of the update folder; none when it is missing.
Result<std::vector<DirEntry>> update_folder_entries(const Installation& installation) {
  auto entries = list_own_update_folder(installation);
  if (entries || !is_not_found(entries.error())) return entries;
  return std::vector<DirEntry>();
}

// "The interrupted update cannot be completed: 3 entries of its new version are missing, the
// first <path>"
std::string cannot_complete(size_t count, std::string_view what, const std::string& first) {
  return "The interrupted update cannot be completed: " + std::to_string(count) +
         (count == 1 ? " entry of its new version is " : " entries of its new version are ") +
         std::string(what) + ", the first " + first;
}

}  // namespace

std::string_view phase_text(UpdatePhase phase) {
  const std::string_view line = kPhaseLines[static_cast<size_t>(phase)];
  const std::string_view prefix = "Vellicor update in progress: ";
  return line.substr(prefix.size(), line.size() - prefix.size() - 1);
}

Result<std::optional<UpdateRecord>> UpdateRecord::read(const Installation& installation) {
  const std::string& path = installation.update_record;
  auto file = File::open_for_reading(path);
  if (!file) {
    // Anything at the name but a file this program wrote is not a record of ours.
    if (is_not_found(file.error())) return std::optional<UpdateRecord>();
    return fail_other("Unreadable update record: " + path);
  }
  auto text = read_small_file(*file, kMaxRecordSize);
  if (!text) return fail(text.error());
  auto record = text->size() <= kMaxRecordSize ? parse_record(*text) : std::nullopt;
  if (!record) return fail_other("Unreadable update record: " + path);
  return std::optional(std::move(*record));
}

std::string earlier_update_text(const Installation& installation, std::string_view reason) {
  return "The update record " + installation.update_record + " belongs to an earlier update (" +
         std::string(reason) + ")";
}

bool update_recorded(const Installation& installation) {
  // A record that cannot be looked at is taken to be there.
  const auto found = metadata(installation.update_record);
  return found || !is_not_found(found.error());
}

Status UpdateRecord::write(const Installation& installation) const {
  std::string content(kPhaseLines[static_cast<size_t>(phase_)]);
  if (uninstall_log_) content += std::string(kLogPrefix) + identity_text(*uninstall_log_) + "\n";
  for (const auto& entry : staged_)
    content += staged_line(entry);

  return replace_file_durably(installation.update_record, temp_path(installation), content);
}

Status UpdateRecord::remove(const Installation& installation) {
  auto removed = remove_file_durably(installation.update_record, temp_path(installation));
  return removed ? Status{} : fail(removed.error());
}

Result<UpdateRecord> UpdateRecord::begin(const UpdateContext& update,
                                         const std::vector<std::string>& names) {
  std::vector<StagedEntry> staged;
  for (const auto& name : names) {
    auto identity = entry_identity(join_path(update.installation.update_folder, name));
    if (!identity) return fail(identity.error());
    staged.push_back({name, *identity});
  }
  UpdateRecord record(UpdatePhase::Deleting, std::move(staged));
  auto log = identity_if_present(update.installation.uninstall_log);
  if (!log) return fail(log.error());
  record.uninstall_log_ = *log;
  record.began_over_earlier_ = metadata(update.installation.update_record).has_value();
  if (auto written = record.write_retried(update); !written) return fail(written.error());
  return record;
}

Status UpdateRecord::advance(const UpdateContext& update) {
  // The old version's removal on the device before the record says it is gone: everything it
  // deleted lay in the root, or in a folder that it removed from the root. (Windows writes the
  // record's rename through NTFS's log, which holds the removals before it.)
  auto removed = retry_with_prompt(
      "Writing the root to the disk: " + update.installation.root, kRetryLimit,
      [&](uint32_t) { return flush_directory(update.installation.root); }, update.hooks);
  if (!removed) return removed;
  phase_ = UpdatePhase::Moving;
  return write_retried(update);
}

// Written like every other file step, under retry_with_prompt: it must be on the device
// before the step it announces.
Status UpdateRecord::write_retried(const UpdateContext& update) const {
  auto written = retry_with_prompt(
      "Writing the update record: " + update.installation.update_record, kRetryLimit,
      [&](uint32_t) { return write(update.installation); }, update.hooks);
  if (written)
    log_info(update.logger, "Recorded the update in progress: " + std::string(phase_text(phase_)));
  return written;
}

void UpdateRecord::take_back(const UpdateContext& update) const {
  if (began_over_earlier_) return;
  // A record that stays behind only makes the next run go on deleting an old version that is
  // still whole: as safe as a fresh update.
  (void)remove(update.installation);
}

Status UpdateRecord::set_aside(const UpdateContext& update) {
  return retry_with_prompt(
      "Removing the update record: " + update.installation.update_record, kRetryLimit,
      [&](uint32_t) { return remove(update.installation); }, update.hooks);
}

void UpdateRecord::finish(const UpdateContext& update) {
  auto removed = retry_without_prompt(
      kRetryLimit, [&](uint32_t) { return remove(update.installation); }, update.hooks);
  if (!removed) {
    log_warning(update.logger, "Could not remove the update record " +
                                   update.installation.update_record + ": " +
                                   removed.error().display_text());
  }
}

bool UpdateRecord::moved_in_over_uninstall_log(const Installation& installation) const {
  if (phase_ != UpdatePhase::Moving || !uninstall_log_) return false;
  auto log = identity_if_present(installation.uninstall_log);
  // A log that cannot be looked at is no proof of a mix; why_not_whole reads it.
  return log && *log && same_entry(**log, *uninstall_log_);
}

Result<RecordCheck> UpdateRecord::check(const Installation& installation) const {
  const UpdateRecord& record = *this;
  if (record.staged_.empty()) return RecordCheck{};
  auto found = update_folder_entries(installation);
  if (!found) return fail(found.error());

  // Every entry of the update folder must be one the update began with. The entries the update
  // keeps (a staged unins000.dat) are told by their names alone: the uninstall log is rewritten
  // into a file made new once it is in the root.
  const StagedByName by_name(record.staged_);
  for (const auto& entry : *found) {
    const StagedEntry* staged = entry.name ? by_name.find(*entry.name) : nullptr;
    if (staged && is_kept_entry(staged->name)) continue;
    if (staged) {
      auto identity = entry_identity(join_path(installation.update_folder, staged->name));
      if (!identity) return fail(identity.error());
      if (same_entry(*identity, staged->identity)) continue;
    }
    const std::string path =
        join_path(installation.update_folder, entry.name.value_or("(a name that is not text)"));
    return RecordCheck{RecordMatch::Superseded, path + " is not an entry it began with"};
  }

  // Every other entry it began with was moved into the root: while deleting, none yet.
  size_t missing = 0, replaced = 0;
  std::string first_missing, first_replaced;
  FileNameSet pending;
  for (const auto& entry : *found) {
    if (entry.name) pending.insert(*entry.name);
  }
  for (const auto& staged : record.staged_) {
    if (pending.contains(staged.name) || is_kept_entry(staged.name)) continue;
    const std::string in_root = join_path(installation.root, staged.name);
    std::optional<EntryIdentity> identity;
    if (record.phase_ == UpdatePhase::Moving) {
      auto present = identity_if_present(in_root);
      if (!present) return fail(present.error());
      identity = *present;
    }
    if (identity && same_entry(*identity, staged.identity)) continue;
    if (identity) {
      if (replaced++ == 0) first_replaced = in_root;
    } else if (missing++ == 0) {
      first_missing = join_path(installation.update_folder, staged.name);
    }
  }
  // Its moved entries replaced and nothing staged: the application was installed anew.
  if (replaced > 0 && found->empty()) {
    return RecordCheck{RecordMatch::Stale, first_replaced + " was replaced since"};
  }
  if (missing > 0) {
    return RecordCheck{RecordMatch::Incomplete, cannot_complete(missing, "missing", first_missing)};
  }
  if (replaced > 0) {
    return RecordCheck{RecordMatch::Incomplete,
                       cannot_complete(replaced, "replaced", first_replaced)};
  }
  return RecordCheck{};
}

Result<RecordReading> read_for_update(const Installation& installation) {
  auto record = UpdateRecord::read(installation);
  if (!record) return fail(record.error());
  if (!*record) return RecordReading{};
  auto check = (*record)->check(installation);
  if (!check) return fail(check.error());
  switch (check->match) {
    case RecordMatch::Resume:
      return RecordReading{std::move(*record), std::nullopt};
    case RecordMatch::Incomplete:
      return fail_other(check->reason);
    case RecordMatch::Superseded:
    case RecordMatch::Stale:
      break;
  }
  return RecordReading{std::nullopt, std::move(*check)};
}

}  // namespace vellicor
