#include "base/move_handle.hpp"

#include "base/durability.hpp"
#include "base/fs.hpp"

namespace vellicor {

Status move_held(MoveHandle& handle, std::string_view to, bool durable) {
  return durable ? rename_durably(handle.path_, to) : rename_replacing(handle.path_, to);
}

Status check_not_open(std::string_view) {
  return {};
}

}  // namespace vellicor
