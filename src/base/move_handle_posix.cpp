#include "base/move_handle.hpp"

#include "base/fs.hpp"

namespace vellicor {

Result<MoveHandle> open_move_handle(std::string_view path) {
  return MoveHandle(Handle(), std::string(path));
}

Status move_held(MoveHandle& handle, std::string_view to) {
  return rename_replacing(handle.path_, to);
}

Status check_not_open(std::string_view) {
  return {};
}

Status check_movable(std::string_view) {
  return {};
}

}  // namespace vellicor
