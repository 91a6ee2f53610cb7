#include "base/move_handle.hpp"

#include "base/durability.hpp"
#include "base/fs.hpp"

namespace vellicor {

Status move_held(MoveHandle& handle, std::string_view to, Flush flush) {
  return rename_with(flush, handle.path_, to);
}

Status check_not_open(std::string_view) {
  return {};
}

}  // namespace vellicor
