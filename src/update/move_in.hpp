#pragma once
// The new version moved up from the update folder into the root, and the emptied update folder
// removed.

#include "base/error.hpp"

namespace vellicor {

class StagedScan;
struct UpdateContext;

// Renames every entry of the update folder into the root, replacing a file of the same name,
// each under retry_with_prompt ("Rename: " + name each attempt); an entry that `scan` holds is
// renamed through its hold. A folder moves with everything in it in one rename. What stands
// where an entry goes and is not the update's to replace (anything but a kept file or a link:
// what the application wrote there while an update cut short was half done) is first moved
// aside to "<name>.set-aside-by-update" (a WARN names both), never replaced. Where the volume
// keeps no order of its renames (renames_ordered_on_volume), each rename is durable.
[[nodiscard]] Status move_new_version_in(const UpdateContext& update, StagedScan& scan);

// Removes the emptied update folder ("Delete: " + its path). The new version is complete by
// then: what keeps the folder (a process whose current folder it is) is waited for a while,
// and then the folder may stay, with a warning.
void remove_update_folder(const UpdateContext& update);

}  // namespace vellicor
