#pragma once
// Whether an update of an installation would start, asked while the application still runs:
// the checks of the update's checking phase that need neither the installation's lock nor the
// application to have exited, run as the update runs them, and nothing changed.

#include <string>
#include <string_view>

#include "base/error.hpp"

namespace vellicor {

struct UpdateContext;

// Reads the installation's update record as an update would (an interrupted update is
// finished, one that cannot be completed is refused; one of an earlier, superseded or stale
// update is passed over, as the update then passes over it), then checks what that update
// would check before its first delete: the update folder and every staged entry, the staged
// version against its uninstall log, and that every old file and folder could be deleted
// (permissions, attributes, mount points), or, for an update that was moving in, what is left
// staged. Also that `updater` does not lie in what the update deletes. Gives the summary line
// of an update that would start ("ok: ..."), or the error that the update would show.
// A volume that the update tries out before its first delete is not tried here: that writes.
[[nodiscard]] Result<std::string> check_update_would_start(const UpdateContext& update,
                                                           std::string_view updater);

}  // namespace vellicor
