#pragma once
// The chain of open folders that a walk keeps from its top down to the folder it opened last,
// shared by the platforms' walks: each has its own WalkTop (the top's path, the chain of opened
// folders, each with its `handle`, and the names that lead down it) and its own ways to open a
// folder below another and to tell whether a folder of the chain is still where it was opened.

#include <memory>
#include <string>

#include "base/error.hpp"
#include "base/path.hpp"
#include "base/tree_walk.hpp"

namespace vellicor {

// Opens the folder at `place` through the chain of `top`: the top stays (everything is opened
// relative to it), the folders of the chain on the place's way are kept while `in_place(top,
// depth)` says so, what lies below the last of them is let go first (so that the chain never
// holds more than one way down), and the rest is opened one name at a time with
// `open_below(above, name, path)`.
template <class Top, class InPlace, class OpenBelow>
Result<WalkedFolder> open_through_chain(const std::shared_ptr<const FolderPlace>& place, Top& top,
                                        InPlace in_place, OpenBelow open_below) {
  if (top.chain.empty()) return fail_other("The walk of " + top.path + " has ended");
  const auto& names = place->names;
  size_t kept = 1;
  while (kept < top.chain.size() && kept <= names.size() &&
         top.names[kept - 1] == names[kept - 1] && in_place(top, kept)) {
    ++kept;
  }
  top.chain.resize(kept);
  top.names.resize(kept - 1);
  std::string path = top.path;
  for (const auto& name : top.names)
    path = join_path(path, name);
  while (top.chain.size() <= names.size()) {
    const std::string& name = names[top.chain.size() - 1];
    path = join_path(path, name);
    auto opened = open_below(top.chain.back(), name, path);
    if (!opened) return fail(opened.error());
    top.chain.push_back(std::move(*opened));
    top.names.push_back(name);
  }
  return WalkedFolder(place, top.chain.back().handle);
}

}  // namespace vellicor
