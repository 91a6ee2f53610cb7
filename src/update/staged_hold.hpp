#pragma once
// The staged files held from the checks before the first delete to their moves into the root,
// where another program's open would stop a move (Windows): what is open now is waited for
// before anything is deleted, and what is held cannot be taken meanwhile.

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.hpp"
#include "base/fs.hpp"
#include "base/move_handle.hpp"

namespace vellicor {

struct UpdateContext;

class StagedHold {
 public:
  // Where opens stop renames (opens_stop_renames): every file of the update folder (`staged`,
  // as listed) is held for its move (open_move_handle); its folders must be movable
  // (check_movable), and everything below them, and every kept file of the root that a staged
  // file replaces, must not be open in another program (check_not_open): what is below a folder
  // cannot be held without stopping the folder's move, nor a folder without stopping its
  // listing, nor a file that is replaced without stopping its replacement. Each open runs under
  // retry_with_prompt as an old file's does ("Opening file handle: "
  // + path, a line "Waiting for <path>, which another program holds open (attempt n)" from the
  // second attempt on). Elsewhere nothing is held.
  [[nodiscard]] static Result<StagedHold> take(const UpdateContext& update,
                                               const std::vector<DirEntry>& staged);

  // The hold of the staged entry named `name`, or none.
  MoveHandle* find(std::string_view name);

 private:
  std::unordered_map<std::string, MoveHandle> held_;  // by file_name_key
};

}  // namespace vellicor
