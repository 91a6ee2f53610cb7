#pragma once
// The Windows side of a walk's handles, for the holds and removals of what a walk lists.

#include <string_view>

#include "base/fs.hpp"
#include "base/tree_walk.hpp"
#include "base/win32.hpp"

namespace vellicor {

// Opens the entry `name` that the listing of `folder` showed as a `kind`, through the folder's
// handle, with `access` (attribute reading added), sharing `share`, and the NtCreateFile
// `options`; a reparse point is opened itself. What is no longer of that kind, or is not where it
// was listed (its handle leads elsewhere: a Unix link under Wine), fails with an
// EntryChangedError that names it, the handle closed again.
[[nodiscard]] Result<win32::UniqueHandle> open_listed_entry(const WalkedFolder& folder,
                                                            std::string_view name, EntryKind kind,
                                                            ACCESS_MASK access, ULONG share,
                                                            ULONG options);

}  // namespace vellicor
