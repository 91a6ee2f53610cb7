#include "update/staged_entries.hpp"

#include <string>

#include "update/installation.hpp"

namespace vellicor {

Status check_staged_names(const Installation& installation, std::span<const DirEntry> staged,
                          PathStyle style) {
  for (const auto& entry : staged) {
    if (!entry.name) return fail_other("Could not get entry name");
    if (style != PathStyle::Windows) continue;
    if (const auto problem = windows_name_problem(*entry.name)) {
      return fail_other("Staged entry " +
                        join_path(installation.update_folder, *entry.name, style) +
                        " has a name that Windows cannot hold: " + std::string(*problem));
    }
  }
  return {};
}

}  // namespace vellicor
