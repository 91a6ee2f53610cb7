#pragma once
// One walk for the trees that an update deletes: every folder listed once, breadth-first from the
// top, links and mount points (which listings show as links) never entered.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/fs.hpp"

namespace vellicor {

// Sees one folder's entries in the platform's listing order; it may take entries out of the
// list, which are then not entered. Its error ends the walk.
using FolderVisitor =
    std::function<Status(const std::string& folder, std::vector<DirEntry>& entries)>;

// Lists `top` and calls `visit` with its entries, then does the same for every folder that a
// listing shows (and `visit` leaves in it), breadth-first. Stops at the first error, a listing's
// or the visitor's.
[[nodiscard]] Status walk_breadth_first(std::string_view top, const FolderVisitor& visit);

}  // namespace vellicor
