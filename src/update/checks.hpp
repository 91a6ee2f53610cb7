#pragma once
// Everything about the update folder and the staged entries that can be known before the first
// old file is deleted, found before it: what no wait can change stops the update with nothing
// touched.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "update/staged_scan.hpp"
#include "update/update_record_format.hpp"

namespace vellicor {

struct Installation;
struct UpdateContext;

// What the checks found of the staged version, as a fresh update records it: the staged entries
// by their names as listed, with their identities, the staged uninstall log and the root's.
struct StagedVersion {
  std::vector<StagedEntry> entries;
  std::optional<RecordedLog> staged_log;
  std::optional<RecordedLog> uninstall_log;
};

// The same, with the scan that holds the staged entries for their moves.
struct CheckedStaged {
  StagedVersion version;
  StagedScan scan;
};

// A fresh update, or one resumed while deleting (the new version is still whole): the update
// folder is the installation's own folder (not a link, junction or mount point, on the root's
// volume) and holds an entry named like the application's executable; every staged entry can
// be moved in (a name that is text, that Windows takes as it is, that no other entry of its
// folder shares as Windows compares names, and that the updater does not use itself, no link,
// the permissions and attributes of the rename, a place in the root that the rename can take, a
// kept file it replaces that may be replaced); the root lets entries go (the record is written
// and removed there), and nothing but a removable file is at the record's temporary name; the
// staged version holds every file that its own uninstall log names; on a volume that this
// program does not know, a folder keeps what it holds when it is renamed (tried out with a
// folder of the updater's own in the root). The staged version is scanned once (StagedScan, in
// Update mode): written out entry by entry where the volume takes them so, and, where another
// program's open stops a rename, nothing staged open elsewhere and the top-level files held from
// here on.
[[nodiscard]] Result<CheckedStaged> check_before_deleting(const UpdateContext& update);

// An update resumed while moving: what is left in the update folder, if it is still there, is
// checked, scanned and held the same way (the staged uninstall log is read from the root once it
// was moved in). Gives the scan, or nothing when the update folder is gone.
[[nodiscard]] Result<std::optional<StagedScan>> check_before_moving_in(const UpdateContext& update);

// The same two without the volume's try-out, which writes into the root, and with a scan that
// only looks (StagedScan::Mode::Check): what can be known of the staged entries without
// changing, holding or waiting for anything.
[[nodiscard]] Result<StagedVersion> check_staged_before_deleting(const UpdateContext& update);
[[nodiscard]] Result<bool> check_staged_before_moving_in(const UpdateContext& update);

// Whether the checks before the first delete try out the volume of the installation (one that
// this program does not know), rather than trust it.
bool volume_is_tried_out(const Installation& installation);

// An updater that lies among the entries that the update deletes would delete itself (Windows
// refuses, as it runs), and could not finish the update once cut short: it is refused. One in
// the update folder, in a kept entry or outside the installation is not. Fails with "The
// updater <path> lies in what the update of <root> deletes: it must run from elsewhere".
[[nodiscard]] Status check_updater_placement(const Installation& installation,
                                             std::string_view updater);

}  // namespace vellicor
