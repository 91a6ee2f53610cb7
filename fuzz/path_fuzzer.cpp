// Feeds arbitrary text to the path functions under both platforms' rules and checks, on every
// input: normalising twice changes nothing, and a normalised rooted path never climbs above
// its root; a path without ".." equals its normal form; the verbatim long form is the normal
// form with its prefix; a path is the join of its parent and its file name; equality and
// case-blind equality are reflexive and symmetric, and equality implies case-blind equality;
// two names are equal exactly when their lookup keys are;
// the check of names Windows cannot hold ignores ASCII letter case, refuses every forbidden
// character, and is kept by an extension.
//
// Input: two texts separated by the first zero byte, the first also tried as a name.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/path.hpp"

namespace {

using namespace vellicor;
using Kind = PathComponent::Kind;

void check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "check failed: %s\n", what);
    abort();
  }
}

bool has_component(std::string_view path, PathStyle style, Kind kind) {
  for (const auto& component : path_components(path, style)) {
    if (component.kind == kind) return true;
  }
  return false;
}

bool is_verbatim(std::string_view path, PathStyle style) {
  return style == PathStyle::Windows && path.starts_with("\\\\?\\");
}

bool is_rooted(std::string_view path, PathStyle style) {
  const auto components = path_components(path, style);
  for (const auto& component : components) {
    if (component.kind == Kind::RootDir) return true;
  }
  return false;
}

void check_normalize(std::string_view path, PathStyle style) {
  const std::string plain = normalize_path(path, style);
  check(normalize_path(plain, style) == plain, "normalising twice changes nothing");
  if (is_verbatim(path, style)) return;  // taken as it stands
  if (is_rooted(path, style)) {
    check(!has_component(plain, style, Kind::ParentDir), "no \"..\" above the root");
  }
  const auto components = path_components(path, style);
  if (!has_component(path, style, Kind::ParentDir) &&
      (components.empty() || components.front().kind != Kind::CurDir)) {
    check(paths_equal(path, plain, style), "a path without \"..\" equals its normal form");
  }
}

void check_system_path(std::string_view path, PathStyle style) {
  const std::string long_form = system_path(path, style);
  if (long_form == path) return;
  check(style == PathStyle::Windows && is_verbatim(long_form, style), "the long form is verbatim");
  check(without_verbatim_prefix(long_form) == normalize_path(path, style),
        "the long form is the normal form with its prefix");
  check(!has_component(long_form, style, Kind::ParentDir) &&
            !has_component(long_form, style, Kind::CurDir),
        "the long form holds no \".\" or \"..\"");
}

void check_parts(std::string_view path, PathStyle style) {
  const auto name = path_file_name(path, style);
  const auto parent = parent_path(path, style);
  if (parent) {
    check(parent->size() < path.size(), "a parent is shorter");
    check(path_components(*parent, style).size() + 1 == path_components(path, style).size() ||
              parent->empty(),
          "a parent has one component less");
  }
  // A server without a share (two separators that name no server and share, or a verbatim
  // UNC prefix that ends after the server) is followed by a root and an empty name; joined
  // again, the name would read as the share.
  const auto components = path_components(path, style);
  bool degenerate = false;
  if (style == PathStyle::Windows && !components.empty()) {
    const std::string_view head = components.front().text;
    const bool two_separators = path.size() >= 2 && (path[0] == '\\' || path[0] == '/') &&
                                (path[1] == '\\' || path[1] == '/');
    degenerate =
        (two_separators && components.front().kind != Kind::Prefix) ||
        (head.starts_with("\\\\?\\UNC\\") && head.substr(8).find('\\') == std::string_view::npos);
  }
  if (name && parent && !degenerate) {
    check(paths_equal(join_path(*parent, *name, style), path, style),
          "a path is its parent joined with its name");
  }
}

void check_equality(std::string_view a, std::string_view b, PathStyle style) {
  check(paths_equal(a, a, style) && paths_equivalent(a, a, style), "equality is reflexive");
  const bool equal = paths_equal(a, b, style);
  const bool equivalent = paths_equivalent(a, b, style);
  check(equal == paths_equal(b, a, style), "equality is symmetric");
  check(equivalent == paths_equivalent(b, a, style), "case-blind equality is symmetric");
  check(!equal || equivalent, "equal paths are equal without regard to case");
  check(file_names_equal(a, a, style) && file_name_starts_with(a, a, style),
        "a name equals and starts with itself");
  const bool names_equal = file_names_equal(a, b, style);
  check(names_equal == file_names_equal(b, a, style), "name equality is symmetric");
  check(!names_equal || file_name_starts_with(a, b, style), "an equal name starts with the other");
  check(names_equal == (file_name_key(a, style) == file_name_key(b, style)),
        "names are equal exactly when their keys are");
}

void check_name(std::string_view name) {
  const auto problem = windows_name_problem(name);
  std::string upper(name);
  for (auto& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  check(windows_name_problem(upper) == problem, "letter case does not change the answer");
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 32 || std::string_view("<>:\"/\\|?*").contains(c)) {
      check(problem == "a character that Windows forbids", "forbidden characters are found");
    }
  }
  const auto with_extension = windows_name_problem(std::string(name) + ".txt");
  if (!problem) check(!with_extension, "an extension makes no problem");
  if (problem == "a device name") check(with_extension == problem, "a device keeps its extension");
  if (!problem) {
    check(!name.ends_with('.') && !name.ends_with(' '), "a trailing dot or space is found");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  const std::string_view a = input.substr(0, split);
  const std::string_view b =
      split == std::string_view::npos ? std::string_view{} : input.substr(split + 1);
  for (const auto style : {PathStyle::Windows, PathStyle::Posix}) {
    for (const auto path : {a, b}) {
      check_normalize(path, style);
      check_system_path(path, style);
      check_parts(path, style);
    }
    check_equality(a, b, style);
  }
  check_name(a);
  return 0;
}
