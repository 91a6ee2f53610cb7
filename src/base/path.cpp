#include "base/path.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "base/fnv1a.hpp"
#include "base/utf.hpp"

namespace vellicor {
namespace {

enum class PrefixKind { Verbatim, VerbatimUnc, VerbatimDisk, DeviceNs, Unc, Disk };

struct Prefix {
  PrefixKind kind;
  std::string_view first;   // verbatim name, server or device name
  std::string_view second;  // share
  char drive = 0;           // upper-case drive letter of Disk and VerbatimDisk
  size_t length = 0;        // bytes of the path that the prefix spans

  bool verbatim() const {
    return kind == PrefixKind::Verbatim || kind == PrefixKind::VerbatimUnc ||
           kind == PrefixKind::VerbatimDisk;
  }
  // Every prefix but a bare drive stands for a rooted path.
  bool implicit_root() const { return kind != PrefixKind::Disk; }

  std::string key() const {
    std::string key(1, static_cast<char>('0' + static_cast<int>(kind)));
    key.push_back(drive);
    key.append(first);
    key.push_back('\0');
    key.append(second);
    return key;
  }
};

bool is_separator(char c, PathStyle style, bool verbatim) {
  if (style == PathStyle::Posix) return c == '/';
  return c == '\\' || (!verbatim && c == '/');
}

// Splits off the text up to the first separator: (component, rest after that separator).
std::pair<std::string_view, std::string_view> split_next(std::string_view path, bool verbatim) {
  for (size_t i = 0; i < path.size(); ++i) {
    if (is_separator(path[i], PathStyle::Windows, verbatim)) {
      return {path.substr(0, i), path.substr(i + 1)};
    }
  }
  return {path, {}};
}

bool is_ascii_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
char ascii_upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

std::optional<char> parse_drive(std::string_view path) {
  if (path.size() >= 2 && is_ascii_letter(path[0]) && path[1] == ':') return ascii_upper(path[0]);
  return std::nullopt;
}

// Inside a verbatim path only "C:" followed by "\" or the end is a drive.
std::optional<char> parse_drive_exact(std::string_view path) {
  if (path.size() > 2 && path[2] != '\\') return std::nullopt;
  return parse_drive(path);
}

size_t with_share(size_t base, std::string_view first, std::string_view second) {
  return base + first.size() + (second.empty() ? 0 : 1 + second.size());
}

std::optional<Prefix> parse_windows_prefix(std::string_view path) {
  if (!path.starts_with("\\\\")) {
    if (auto drive = parse_drive(path)) return Prefix{PrefixKind::Disk, {}, {}, *drive, 2};
    return std::nullopt;
  }
  std::string_view rest = path.substr(2);
  if (rest.starts_with("?\\")) {
    rest.remove_prefix(2);
    if (rest.starts_with("UNC\\")) {
      rest.remove_prefix(4);
      auto [server, after] = split_next(rest, true);
      auto [share, unused] = split_next(after, true);
      return Prefix{PrefixKind::VerbatimUnc, server, share, 0, with_share(8, server, share)};
    }
    if (auto drive = parse_drive_exact(rest)) {
      return Prefix{PrefixKind::VerbatimDisk, {}, {}, *drive, 6};
    }
    auto [name, unused] = split_next(rest, true);
    return Prefix{PrefixKind::Verbatim, name, {}, 0, 4 + name.size()};
  }
  if (rest.starts_with(".\\")) {
    rest.remove_prefix(2);
    auto [device, unused] = split_next(rest, false);
    return Prefix{PrefixKind::DeviceNs, device, {}, 0, 4 + device.size()};
  }
  auto [server, after] = split_next(rest, false);
  auto [share, unused] = split_next(after, false);
  if (server.empty() || share.empty()) return std::nullopt;
  return Prefix{PrefixKind::Unc, server, share, 0, with_share(2, server, share)};
}

struct Parsed {
  std::optional<Prefix> prefix;
  bool physical_root = false;
};

Parsed parse_head(std::string_view path, PathStyle style) {
  Parsed parsed;
  if (style == PathStyle::Windows) parsed.prefix = parse_windows_prefix(path);
  const size_t start = parsed.prefix ? parsed.prefix->length : 0;
  const bool verbatim = parsed.prefix && parsed.prefix->verbatim();
  parsed.physical_root = start < path.size() && is_separator(path[start], style, verbatim);
  return parsed;
}

}  // namespace

std::vector<PathComponent> path_components(std::string_view path, PathStyle style) {
  using Kind = PathComponent::Kind;
  std::vector<PathComponent> out;
  const Parsed head = parse_head(path, style);
  const bool verbatim = head.prefix && head.prefix->verbatim();
  size_t pos = 0;
  if (head.prefix) {
    pos = head.prefix->length;
    out.push_back({Kind::Prefix, path.substr(0, pos), pos, head.prefix->key()});
  }
  if (head.physical_root) {
    out.push_back({Kind::RootDir, path.substr(pos, 1), pos + 1, {}});
    pos += 1;
  } else if (head.prefix) {
    if (head.prefix->implicit_root() && !verbatim) out.push_back({Kind::RootDir, {}, pos, {}});
  } else if (path.size() >= 1 && path[0] == '.' &&
             (path.size() == 1 || is_separator(path[1], style, false))) {
    // A relative path that starts with "." keeps it as its first component.
    out.push_back({Kind::CurDir, path.substr(0, 1), 1, {}});
    pos = 1;
  }
  while (pos < path.size()) {
    size_t end = pos;
    while (end < path.size() && !is_separator(path[end], style, verbatim))
      ++end;
    const std::string_view piece = path.substr(pos, end - pos);
    if (piece == "..") {
      out.push_back({Kind::ParentDir, piece, end, {}});
    } else if (piece == ".") {
      if (verbatim) out.push_back({Kind::CurDir, piece, end, {}});
    } else if (!piece.empty()) {
      out.push_back({Kind::Normal, piece, end, {}});
    }
    pos = end + 1;
  }
  return out;
}

std::optional<std::string> parent_path(std::string_view path, PathStyle style) {
  using Kind = PathComponent::Kind;
  const auto components = path_components(path, style);
  if (components.empty()) return std::nullopt;
  const Kind last = components.back().kind;
  if (last != Kind::Normal && last != Kind::CurDir && last != Kind::ParentDir) {
    return std::nullopt;
  }
  const size_t end = components.size() >= 2 ? components[components.size() - 2].end : 0;
  return std::string(path.substr(0, end));
}

std::string join_path(std::string_view base, std::string_view name, PathStyle style) {
  std::string out(base);
  bool verbatim = false;  // under a verbatim prefix "/" is part of a name
  bool bare_drive = false;
  if (style == PathStyle::Windows) {
    if (const auto prefix = parse_windows_prefix(base)) {
      verbatim = prefix->verbatim();
      bare_drive = prefix->kind == PrefixKind::Disk && prefix->length == base.size();
    }
  }
  // "C:" + "x" is "C:x", relative to the drive's current folder.
  const bool need_separator =
      !base.empty() && !bare_drive && !is_separator(base.back(), style, verbatim);
  if (need_separator) out.push_back(style == PathStyle::Windows ? '\\' : '/');
  out.append(name);
  return out;
}

std::optional<std::string> path_file_name(std::string_view path, PathStyle style) {
  const auto components = path_components(path, style);
  if (components.empty() || components.back().kind != PathComponent::Kind::Normal) {
    return std::nullopt;
  }
  return std::string(components.back().text);
}

bool is_absolute_path(std::string_view path, PathStyle style) {
  const Parsed head = parse_head(path, style);
  if (style == PathStyle::Posix) return head.physical_root;
  return head.prefix && (head.physical_root || head.prefix->implicit_root());
}

namespace {

// Component-wise equality of the first `count` components, the names (and the prefix's key: the
// drive, server, share or device name, and bytes that are no letters) compared by `same`.
template <class Same>
bool leading_components_equal(const std::vector<PathComponent>& left,
                              const std::vector<PathComponent>& right, size_t count, Same same) {
  using Kind = PathComponent::Kind;
  if (left.size() < count || right.size() < count) return false;
  for (size_t i = 0; i < count; ++i) {
    if (left[i].kind != right[i].kind) return false;
    if (left[i].kind == Kind::Prefix && !same(left[i].prefix_key, right[i].prefix_key)) {
      return false;
    }
    if (left[i].kind == Kind::Normal && !same(left[i].text, right[i].text)) return false;
  }
  return true;
}

template <class Same>
bool components_equal(std::string_view a, std::string_view b, PathStyle style, Same same) {
  const auto left = path_components(a, style);
  const auto right = path_components(b, style);
  return left.size() == right.size() && leading_components_equal(left, right, left.size(), same);
}

}  // namespace

bool paths_equal(std::string_view a, std::string_view b, PathStyle style) {
  return components_equal(a, b, style,
                          [](std::string_view x, std::string_view y) { return x == y; });
}

std::string normalize_path(std::string_view path, PathStyle style) {
  using Kind = PathComponent::Kind;
  const auto components = path_components(path, style);
  if (!components.empty() && components.front().kind == Kind::Prefix &&
      parse_windows_prefix(path)->verbatim()) {
    return std::string(path);
  }
  const char separator = style == PathStyle::Windows ? '\\' : '/';
  std::string head;  // prefix and root, which ".." never takes away
  bool rooted = false;
  std::vector<std::string_view> names;
  for (const auto& component : components) {
    switch (component.kind) {
      case Kind::Prefix:
        head.append(component.text);
        break;
      case Kind::RootDir:
        head.push_back(separator);
        rooted = true;
        break;
      case Kind::CurDir:
        break;
      case Kind::ParentDir:
        if (!names.empty() && names.back() != "..") {
          names.pop_back();
        } else if (!rooted) {
          names.push_back(component.text);
        }
        break;
      case Kind::Normal:
        names.push_back(component.text);
        break;
    }
  }
  std::string out = head;
  // A relative path whose first name reads as a drive ("C:x") keeps the "." before it.
  if (style == PathStyle::Windows && head.empty() && !names.empty() && parse_drive(names[0])) {
    out = std::string(".") + separator;
  }
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out.push_back(separator);
    out.append(names[i]);
  }
  if (out.empty() && !components.empty()) out = ".";
  return out;
}

std::string without_verbatim_prefix(std::string_view path) {
  const auto prefix = parse_windows_prefix(path);
  if (prefix && prefix->kind == PrefixKind::VerbatimDisk) return std::string(path.substr(4));
  if (prefix && prefix->kind == PrefixKind::VerbatimUnc) {
    return "\\\\" + std::string(path.substr(8));
  }
  return std::string(path);
}

std::string system_path(std::string_view path, PathStyle style) {
  if (style != PathStyle::Windows || path.size() < kLongPath) return std::string(path);
  const auto prefix = parse_windows_prefix(path);
  if (!prefix || !is_absolute_path(path, style)) return std::string(path);
  if (prefix->kind == PrefixKind::Disk) return "\\\\?\\" + normalize_path(path, style);
  if (prefix->kind == PrefixKind::Unc) {
    return "\\\\?\\UNC" + normalize_path(path, style).substr(1);
  }
  return std::string(path);
}

namespace {

// The name as the comparison of `style` sees it: upper-cased UTF-16 on Windows.
std::optional<std::u16string> folded_name(std::string_view name, PathStyle style) {
  if (style != PathStyle::Windows) return std::nullopt;
  auto units = utf8_to_utf16(name);
  if (!units) return std::nullopt;
  for (auto& unit : *units)
    unit = upper_case_unit(unit);
  return std::move(*units);
}

}  // namespace

bool file_names_equal(std::string_view a, std::string_view b, PathStyle style) {
  const auto left = folded_name(a, style);
  const auto right = folded_name(b, style);
  if (left && right) return *left == *right;
  return a == b;
}

std::string file_name_key(std::string_view name, PathStyle style) {
  std::string key;
  if (const auto units = folded_name(name, style)) {
    key.reserve(1 + 2 * units->size());
    key.push_back('\x01');
    for (const char16_t unit : *units) {
      key.push_back(static_cast<char>(unit & 0xFF));
      key.push_back(static_cast<char>(unit >> 8));
    }
    return key;
  }
  key.reserve(1 + name.size());
  key.push_back('\x00');
  key.append(name);
  return key;
}

bool file_name_starts_with(std::string_view name, std::string_view prefix, PathStyle style) {
  const auto whole = folded_name(name, style);
  const auto start = folded_name(prefix, style);
  if (whole && start) return whole->starts_with(*start);
  return name.starts_with(prefix);
}

bool paths_equivalent(std::string_view a, std::string_view b, PathStyle style) {
  return components_equal(a, b, style, [style](std::string_view x, std::string_view y) {
    return file_names_equal(x, y, style);
  });
}

std::optional<std::string> first_name_below(std::string_view folder, std::string_view path,
                                            PathStyle style) {
  const auto outer = path_components(folder, style);
  const auto inner = path_components(path, style);
  if (inner.size() <= outer.size() ||
      !leading_components_equal(outer, inner, outer.size(),
                                [style](std::string_view x, std::string_view y) {
                                  return file_names_equal(x, y, style);
                                })) {
    return std::nullopt;
  }
  const PathComponent& below = inner[outer.size()];
  if (below.kind != PathComponent::Kind::Normal) return std::nullopt;
  return std::string(below.text);
}

namespace {

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
  }
  return true;
}

// The part of a name that the system compares with the device names: up to the first dot,
// without the spaces before it ("nul .txt" is NUL).
bool is_device_name(std::string_view name) {
  std::string_view base = name.substr(0, std::min(name.find('.'), name.size()));
  while (base.ends_with(' '))
    base.remove_suffix(1);
  for (const std::string_view device : {"CON", "PRN", "AUX", "NUL"}) {
    if (equal_ignoring_ascii_case(base, device)) return true;
  }
  if (base.size() < 4) return false;
  const std::string_view port = base.substr(0, 3);
  if (!equal_ignoring_ascii_case(port, "COM") && !equal_ignoring_ascii_case(port, "LPT")) {
    return false;
  }
  const std::string_view digit = base.substr(3);
  if (digit.size() == 1) return digit[0] >= '1' && digit[0] <= '9';
  // The superscript digits of ISO 8859-1, which the system takes as digits here.
  return digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

}  // namespace

std::optional<std::string_view> windows_name_problem(std::string_view name) {
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 32 || std::string_view("<>:\"/\\|?*").contains(c)) {
      return "a character that Windows forbids";
    }
  }
  if (is_device_name(name)) return "a device name";
  if (name.ends_with('.') || name.ends_with(' ')) return "a trailing dot or space";
  return std::nullopt;
}

std::string path_key(std::string_view path, PathStyle style) {
  // The key's bytes after its mark: the folded UTF-16 units or the bytes themselves.
  Fnv1a hash;
  hash.add_bytes(std::string_view(file_name_key(path, style)).substr(1));
  const uint64_t value = hash.value();
  std::string key;
  for (int shift = 60; shift >= 0; shift -= 4)
    key.push_back("0123456789abcdef"[(value >> shift) & 15]);
  return key;
}

}  // namespace vellicor
