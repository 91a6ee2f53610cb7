#include "update/update_lock.hpp"

#include <string>

namespace vellicor {

Result<UpdateLock> UpdateLock::take(std::string_view root) {
  auto taken = try_take(root);
  if (!taken) return fail(taken.error());
  if (!*taken) {
    return fail_other("Another update of this installation is running: " + std::string(root));
  }
  return std::move(**taken);
}

}  // namespace vellicor
