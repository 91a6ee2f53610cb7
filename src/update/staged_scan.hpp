#pragma once
// The staged version as one pass over the update folder sees it: every entry opened once, and
// that open tells what every later step needs: its kind, its identity, its attributes, whether
// another program holds it (where an open stops a rename: Windows), and it writes the entry out
// to the device; what moves by itself is held from here to its move. The checks, the record, the
// durability step and the move-in all take the staged version from here.

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/entry_identity.hpp"
#include "base/error.hpp"
#include "base/fs.hpp"
#include "update/update_record_format.hpp"

namespace vellicor {

struct UpdateContext;

class StagedScan {
 public:
  enum class Mode {
    Check,   // what --check sees: looks at the top-level entries, holds, writes and waits for
             // nothing
    Update,  // holds every top-level file until its move, opens everything below a staged
             // folder alone, writes every entry out where the volume takes its entries one by
             // one (entries_written_one_by_one), and waits for what another program holds
  };

  // Scans the entries `staged` of the update folder (as listed and checked: names that are
  // text, no links but mount points, which are left alone). Fails before anything else for two
  // entries of one folder whose names the volume takes for one (Windows' upper-case comparison,
  // whatever the folder's own case sensitivity): "Staged entries <path> and <path> have names
  // that Windows takes for one". In Update mode each open runs under retry_with_prompt as an
  // old file's ("Opening file handle: " + path, a line "Waiting for <path>, which another
  // program holds open (attempt n)" from the second attempt on), and so does the check that no
  // other program has open a kept file of the root that a staged file replaces (Windows).
  [[nodiscard]] static Result<StagedScan> take(const UpdateContext& update,
                                               const std::vector<DirEntry>& staged, Mode mode);

  // The top-level entries with their identities as the record keeps them, in listing order.
  const std::vector<StagedEntry>& entries() const { return entries_; }
  // The staged unins000.dat as the record knows it, where there is one.
  const std::optional<RecordedLog>& staged_log() const { return staged_log_; }
  // POSIX: the attribute that keeps the top-level entry `name` from moving, as its open told.
  std::optional<std::string_view> forbidding_attribute(std::string_view name) const;

  // Whether the top-level file `name` is the kept file of its name in the root by another name
  // (a hard link, as an unchanged uninstaller may be staged): it is in place already, and its
  // staged name goes with the update folder.
  bool in_place(std::string_view name) const;

  // The hold of the top-level file `name` for its move, or none.
  MoveHandle* hold(std::string_view name);

  // Lets go of the hold of a staged file that is the file `looked` at by another name (a hard
  // link, whose number the look told): both names then move by their paths, since a rename by
  // one name needs delete access to the file, which the hold by the other refuses. Tells
  // whether such a hold was there.
  bool let_go_of_held_file(const OpenedEntry& looked);

  // Lets go of the hold of a staged file that is the file at `old_path` of the old version by
  // another name (a hard link): the old version's exclusive hold of it would wait for ours. The
  // staged name then moves in by its path, after the old name is gone.
  [[nodiscard]] Status let_go_of_same_file(const std::string& old_path);

 private:
  struct Top {
    std::optional<std::string_view> attribute;
    uint32_t links = 1;
    uint64_t size = 0;
    EntryIdentity identity;  // as its open told, a number where numbers last
    std::optional<FileIdentity> linked_number;
    std::optional<MoveHandle> hold;
    bool in_place = false;
  };

  std::vector<StagedEntry> entries_;
  std::optional<RecordedLog> staged_log_;
  std::unordered_map<std::string, Top> tops_;  // by file_name_key
  // Number where the update folder's volume keeps its numbers, else Traits.
  EntryIdentity::Basis basis_ = EntryIdentity::Basis::Traits;
  std::string folder_;
};

}  // namespace vellicor
