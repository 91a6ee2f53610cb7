#include "base/tree_walk.hpp"

#include <deque>

#include "base/path.hpp"

namespace vellicor {

Status walk_breadth_first(std::string_view top, const FolderVisitor& visit) {
  std::deque<std::string> queue{std::string(top)};
  while (!queue.empty()) {
    const std::string folder = std::move(queue.front());
    queue.pop_front();
    auto entries = list_directory(folder);
    if (!entries) return fail(entries.error());
    if (auto visited = visit(folder, *entries); !visited) return visited;
    for (const auto& entry : *entries) {
      if (entry.kind == EntryKind::Directory && entry.name) {
        queue.push_back(join_path(folder, *entry.name));
      }
    }
  }
  return {};
}

}  // namespace vellicor
