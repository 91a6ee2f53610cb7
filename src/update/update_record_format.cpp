#include "update/update_record_format.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <iterator>
#include <span>

#include "base/entry_identity.hpp"
#include "base/hex.hpp"

namespace vellicor {
namespace {

// The record's first line for each phase: what a person who finds the file can read.
constexpr std::array<std::string_view, 3> kPhaseLines = {
    "Vellicor update in progress: deleting the old version\n",
    "Vellicor update in progress: moving the new version in\n",
    "Vellicor update in progress: rewriting the uninstall log\n",
};
constexpr std::string_view kPhasePrefix = "Vellicor update in progress: ";

constexpr std::string_view kLogPrefix = "log ";
constexpr std::string_view kNoLog = "none";
constexpr std::string_view kStagedLogPrefix = "staged-log ";
constexpr std::string_view kOldPrefix = "old ";
constexpr std::string_view kStagedPrefix = "staged ";
constexpr std::string_view kBasisNames[] = {"num", "traits"};

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

// "<identity>,<kind>:<size>:<time>", or the identity alone for an entry without its stamp.
std::string entry_key_text(const StagedEntry& entry) {
  std::string text = identity_text(entry.identity);
  if (entry.stamp) {
    text += "," + lower_hex(static_cast<uint64_t>(entry.stamp->kind)) + ":" +
            lower_hex(entry.stamp->size) + ":" + lower_hex(entry.stamp->modified);
  }
  return text;
}

std::string log_text(const RecordedLog& log) {
  std::string text = identity_text(log.identity);
  if (log.stamp) text += " " + lower_hex(log.stamp->size) + ":" + lower_hex(log.stamp->modified);
  return text;
}

// A whole field of lower-case hex digits.
std::optional<uint64_t> parse_hex(std::string_view text) {
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
      })) {
    return std::nullopt;
  }
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    const size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at - start));
    if (at == std::string_view::npos) return parts;
    start = at + 1;
  }
}

// "<basis>:<four fields>", or, where `earlier` allows it, an earlier build's "<volume>:<index>".
std::optional<EntryIdentity> parse_identity(std::string_view text, bool earlier) {
  const std::vector<std::string_view> parts = split(text, ':');
  EntryIdentity identity;
  std::span<const std::string_view> numbers(parts);
  if (parts.size() == 2 && earlier) {
    // Its index is the low half.
    const auto volume = parse_hex(parts[0]), index = parse_hex(parts[1]);
    if (!volume || !index) return std::nullopt;
    identity.fields = {*volume, 0, *index, 0};
    return identity;
  }
  const auto basis = std::find(std::begin(kBasisNames), std::end(kBasisNames), parts[0]);
  if (parts.size() != 5 || basis == std::end(kBasisNames)) return std::nullopt;
  identity.basis = static_cast<EntryIdentity::Basis>(basis - std::begin(kBasisNames));
  numbers = numbers.subspan(1);
  for (size_t i = 0; i < numbers.size(); ++i) {
    const auto value = parse_hex(numbers[i]);
    if (!value) return std::nullopt;
    identity.fields[i] = *value;
  }
  return identity;
}

// "<identity> <size>:<time>", or with `earlier` an earlier build's "<identity>" alone.
std::optional<RecordedLog> parse_log(std::string_view text, bool earlier) {
  const std::vector<std::string_view> parts = split(text, ' ');
  if (parts.size() > 2 || (parts.size() == 1 && !earlier)) return std::nullopt;
  auto identity = parse_identity(parts[0], false);
  if (!identity) return std::nullopt;
  RecordedLog log{*identity, std::nullopt};
  if (parts.size() == 2) {
    const std::vector<std::string_view> stamp = split(parts[1], ':');
    if (stamp.size() != 2) return std::nullopt;
    const auto size = parse_hex(stamp[0]), modified = parse_hex(stamp[1]);
    if (!size || !modified) return std::nullopt;
    log.stamp = FileStamp{*size, *modified};
  }
  return log;
}

// "<kind>:<size>:<time>"
std::optional<EntryStamp> parse_stamp(std::string_view text) {
  const std::vector<std::string_view> parts = split(text, ':');
  if (parts.size() != 3) return std::nullopt;
  const auto kind = parse_hex(parts[0]), size = parse_hex(parts[1]), modified = parse_hex(parts[2]);
  if (!kind || *kind > static_cast<uint64_t>(EntryKind::Link) || !size || !modified) {
    return std::nullopt;
  }
  return EntryStamp{static_cast<EntryKind>(*kind), *size, *modified};
}

// "<identity>[,<stamp>] <name>": an identity holds no comma, a name may.
std::optional<StagedEntry> parse_entry(std::string_view text, bool earlier) {
  const size_t space = text.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  std::string_view key = text.substr(0, space);
  std::optional<EntryStamp> stamp;
  if (const size_t comma = key.find(','); comma != std::string_view::npos) {
    stamp = parse_stamp(key.substr(comma + 1));
    if (!stamp || earlier) return std::nullopt;
    key = key.substr(0, comma);
  }
  auto identity = parse_identity(key, earlier);
  if (!identity) return std::nullopt;
  auto name = unescaped(text.substr(space + 1));
  if (!name || name->empty()) return std::nullopt;
  return StagedEntry{std::move(*name), *identity, stamp};
}

}  // namespace

std::string_view phase_text(UpdatePhase phase) {
  const std::string_view line = kPhaseLines[static_cast<size_t>(phase)];
  return line.substr(kPhasePrefix.size(), line.size() - kPhasePrefix.size() - 1);
}

std::string print_record(const RecordContent& record) {
  std::string text(kPhaseLines[static_cast<size_t>(record.phase)]);
  if (record.began_over) {
    text += std::string(kLogPrefix) + log_text(*record.began_over) + "\n";
  } else if (record.knows_installation) {
    text += std::string(kLogPrefix) + std::string(kNoLog) + "\n";
  }
  if (record.staged_log) {
    text += std::string(kStagedLogPrefix) + log_text(*record.staged_log) + "\n";
  }
  for (const auto& entry : record.old_entries) {
    text += std::string(kOldPrefix) + entry_key_text(entry) + " " + escaped(entry.name) + "\n";
  }
  for (const auto& entry : record.staged) {
    text += std::string(kStagedPrefix) + entry_key_text(entry) + " " + escaped(entry.name) + "\n";
  }
  return text;
}

std::optional<RecordContent> parse_record(std::string_view text) {
  const auto phase = std::find_if(kPhaseLines.begin(), kPhaseLines.end(),
                                  [&](std::string_view line) { return text.starts_with(line); });
  if (phase == kPhaseLines.end()) return std::nullopt;
  RecordContent record;
  record.phase = static_cast<UpdatePhase>(phase - kPhaseLines.begin());
  text.remove_prefix(phase->size());

  // The lines in their order: the log, the staged log, then the entries.
  enum { kLog, kStagedLog, kEntries } next = kLog;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // cut short: not written whole
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (next == kLog && line.starts_with(kLogPrefix)) {
      line.remove_prefix(kLogPrefix.size());
      next = kStagedLog;
      if (line == kNoLog) {
        record.knows_installation = true;
        continue;
      }
      record.began_over = parse_log(line, true);
      if (!record.began_over) return std::nullopt;
      record.knows_installation = record.began_over->stamp.has_value();
    } else if (next <= kStagedLog && record.knows_installation &&
               line.starts_with(kStagedLogPrefix)) {
      line.remove_prefix(kStagedLogPrefix.size());
      record.staged_log = parse_log(line, false);
      if (!record.staged_log) return std::nullopt;
      next = kEntries;
    } else if (record.knows_installation && line.starts_with(kOldPrefix)) {
      auto entry = parse_entry(line.substr(kOldPrefix.size()), false);
      if (!entry) return std::nullopt;
      record.old_entries.push_back(std::move(*entry));
      next = kEntries;
    } else if (line.starts_with(kStagedPrefix)) {
      // Only a record that knows no log may come from the build that wrote "<volume>:<index>".
      auto entry = parse_entry(line.substr(kStagedPrefix.size()),
                               !record.began_over && !record.knows_installation);
      if (!entry) return std::nullopt;
      record.staged.push_back(std::move(*entry));
      next = kEntries;
    } else {
      return std::nullopt;
    }
  }
  return record;
}

}  // namespace vellicor
