#pragma once
// The text of an update record: what the file in the installation root holds, parsed and
// printed. Readable by a person who finds it (its first line says what it is), and strict: a text
// that this program did not write whole is no record.
//
//   Vellicor update in progress: <phase>
//   log <identity> <size>:<last-write time>        the root's unins000.dat when it began,
//   log none                                       or that there was none
//   staged-log <identity> <size>:<last-write time> the staged unins000.dat, where there is one
//   old <identity>,<stamp> <name>                  each entry of the old version in the root
//   staged <identity>,<stamp> <name>               each entry of the update folder
//
// An identity is "<basis>:<field>:<field>:<field>:<field>" (EntryIdentity, the basis "num" or
// "traits", the fields in lower-case hex), a stamp "<kind>:<size>:<last-write time>"
// (EntryStamp); numbers are lower-case hex; a name has "\" and line feeds escaped ("\\", "\n"),
// since a POSIX name may hold either. Earlier builds wrote the phase line alone, then the staged
// lines ("staged <volume>:<index> <name>", a number without its incarnation, before the basis
// came), then a "log <identity>" line without size and time before them, then entries without
// their stamps: all of these are read as they stand.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/entry_identity.hpp"
#include "base/fs.hpp"

namespace vellicor {

// Where an interrupted update goes on: deleting the old version (the new one is still whole in
// the update folder), moving the new version in (the old one is gone entirely), or rewriting
// the uninstall log (the new version is in place, and a rewrite of its log failed for a reason
// that may pass).
enum class UpdatePhase { Deleting, Moving, Patching };

// "deleting the old version", "moving the new version in", "rewriting the uninstall log"
std::string_view phase_text(UpdatePhase phase);

// What a copy of an entry keeps where every number is new (a restore from a backup, a move to
// another disk): its kind, and a file's size and last-write time, a folder's last-write time
// (a rename keeps it; its size is the file system's own business).
struct EntryStamp {
  EntryKind kind = EntryKind::File;
  uint64_t size = 0;
  uint64_t modified = 0;
  friend bool operator==(const EntryStamp&, const EntryStamp&) = default;
};

// One entry of the installation as the update found it when it began: an entry of the update
// folder, or one of the old version in the root. Records of earlier builds keep no stamp.
struct StagedEntry {
  std::string name;
  EntryIdentity identity;
  std::optional<EntryStamp> stamp;
  friend bool operator==(const StagedEntry&, const StagedEntry&) = default;
};

// A file's size and last-write time: what changes when a program writes it in place, which its
// identity by number does not show.
struct FileStamp {
  uint64_t size = 0;
  uint64_t modified = 0;
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// An uninstall log as the record knows it: its identity and, in records of this build, its
// stamp.
struct RecordedLog {
  EntryIdentity identity;
  std::optional<FileStamp> stamp;
  friend bool operator==(const RecordedLog&, const RecordedLog&) = default;
};

struct RecordContent {
  UpdatePhase phase = UpdatePhase::Deleting;
  // Written by this build: it knows the root's uninstall log as it was (or that there was none)
  // with its stamp, the staged one, and every entry of the old version. Records of earlier
  // builds know the staged entries at most.
  bool knows_installation = false;
  std::optional<RecordedLog> began_over;  // the root's unins000.dat when the update began
  std::optional<RecordedLog> staged_log;  // the update folder's unins000.dat
  std::vector<StagedEntry> old_entries;   // the old version's entries in the root
  std::vector<StagedEntry> staged;        // the update folder's entries
  friend bool operator==(const RecordContent&, const RecordContent&) = default;
};

std::string print_record(const RecordContent& record);

// The record that `text` holds whole, or nothing: anything else, a record cut short included.
std::optional<RecordContent> parse_record(std::string_view text);

}  // namespace vellicor
