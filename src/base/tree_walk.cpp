#include "base/tree_walk.hpp"

#include <deque>
#include <optional>

#include "base/path.hpp"

namespace vellicor {

std::shared_ptr<const FolderPlace> place_below(const WalkedFolder& folder, std::string_view name) {
  const FolderPlace& above = *folder.place();
  auto place = std::make_shared<FolderPlace>(above);
  place->names.emplace_back(name);
  place->path = join_path(above.path, name);
  return place;
}

Status walk_breadth_first(std::string_view top, const FolderVisitor& visit) {
  auto opened = open_walk_top(top);
  if (!opened) return fail(opened.error());
  // The folders still to visit, by their places: a queued folder is opened only when its turn
  // comes, so that the queue holds no descriptor.
  std::deque<std::shared_ptr<const FolderPlace>> queue;
  std::optional<WalkedFolder> folder(std::move(*opened));
  for (;;) {
    auto entries = list_walked_folder(*folder);
    if (!entries) return fail(entries.error());
    if (auto visited = visit(*folder, *entries); !visited) return visited;
    for (const auto& entry : *entries) {
      if (entry.kind == EntryKind::Directory && entry.name) {
        queue.push_back(place_below(*folder, *entry.name));
      }
    }
    folder.reset();
    if (queue.empty()) return {};
    auto next = open_walked_folder(queue.front());
    if (!next) return fail(next.error());
    queue.pop_front();
    folder.emplace(std::move(*next));
  }
}

}  // namespace vellicor
