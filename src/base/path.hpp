#pragma once
// Path rules of both platforms as pure functions on UTF-8 (or, on POSIX, byte) strings:
// components, parent, join, file name, absoluteness, component-wise equality and the names
// that Windows cannot hold.

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace vellicor {

enum class PathStyle { Windows, Posix };

// The rules of the platform the program runs on.
PathStyle native_path_style();

struct PathComponent {
  enum class Kind { Prefix, RootDir, CurDir, ParentDir, Normal };
  Kind kind;
  std::string_view text;  // the component's bytes inside the original path
  size_t end;             // offset just past the component in the original path
  // Comparison key of a Windows prefix (kind, upper-cased drive letter, server and share...).
  std::string prefix_key;
};

// Splits a path the way the platform's path library does:
// Windows: an optional prefix (C:, \\server\share, \\?\..., \\?\UNC\..., \\?\C:, \\.\device),
// then an optional root separator, then the remaining components. "\" and "/" both separate,
// under a verbatim prefix only "\". Empty components and "." are dropped, except a "." that
// starts a relative path and every "." under a verbatim prefix; ".." is kept as it is.
std::vector<PathComponent> path_components(std::string_view path, PathStyle style);

// The path without its last component, trailing separators removed. A path that is only a
// prefix and/or a root (C:\, \\server\share, /) has none. The parent of "name" is "".
std::optional<std::string> parent_path(std::string_view path,
                                       PathStyle style = native_path_style());

// Appends one component after the platform's separator (none is added when the base already
// ends with a separator, is empty, or is a bare drive such as "C:").
std::string join_path(std::string_view base, std::string_view name,
                      PathStyle style = native_path_style());

// The last component when it is a normal name; trailing separators and "." are ignored,
// ".." and roots give none.
std::optional<std::string> path_file_name(std::string_view path,
                                          PathStyle style = native_path_style());

// Windows: a drive with a root separator (C:\, C:/) or a prefix that starts with two
// backslashes (UNC, verbatim, device). POSIX: a leading "/".
bool is_absolute_path(std::string_view path, PathStyle style = native_path_style());

// Component-wise equality: drive letters ignore case, everything else compares byte for byte.
bool paths_equal(std::string_view a, std::string_view b, PathStyle style = native_path_style());

// Component-wise equality with the names compared as the platform's file system compares them
// (file_names_equal): on Windows without regard to letter case (drive letters, server and share
// names included), on POSIX as paths_equal.
bool paths_equivalent(std::string_view a, std::string_view b,
                      PathStyle style = native_path_style());

// The name of the entry of `folder` that `path` lies in or is, when `path` lies below `folder`
// (compared as paths_equivalent compares); nothing otherwise.
std::optional<std::string> first_name_below(std::string_view folder, std::string_view path,
                                            PathStyle style = native_path_style());

// The path spelled plainly, without asking the file system: one separator of the platform
// between components, "." dropped and ".." taking away the component before it (never the
// root). A verbatim path (\\?\...) is taken as it stands, since the system does not normalise
// those either.
std::string normalize_path(std::string_view path, PathStyle style = native_path_style());

// Windows: the plain form of a verbatim drive or UNC path (\\?\C:\x is C:\x,
// \\?\UNC\server\share\x is \\server\share\x); any other path as it stands.
std::string without_verbatim_prefix(std::string_view path);

// Windows: the form in which the system's file calls take a path of any length. An absolute
// path of at least kLongPath bytes (as many as its UTF-16 units, or more) is given in the
// verbatim form (\\?\C:\..., \\?\UNC\server\share\...) after its separators, "." and
// ".." were made plain, since the verbatim form turns the system's own normalisation off; any
// other path (a shorter one, a relative one, one already verbatim, a device path) as it
// stands. POSIX: every path as it stands.
inline constexpr size_t kLongPath = 248;  // CreateDirectoryW's limit, the lowest of them
std::string system_path(std::string_view path, PathStyle style = native_path_style());

// File names as the platform's file system compares them: byte for byte on POSIX, without
// regard to letter case on Windows (upper_case_unit). A name that is not valid UTF-8 compares
// byte for byte.
bool file_names_equal(std::string_view a, std::string_view b,
                      PathStyle style = native_path_style());
bool file_name_starts_with(std::string_view name, std::string_view prefix,
                           PathStyle style = native_path_style());

// A name as file_names_equal sees it: two names are equal by that comparison exactly when
// their keys are equal, so that a set of keys finds a name among many in one look. A valid
// UTF-8 name on Windows is a mark and its upper-cased UTF-16 units; any other name is another
// mark and its bytes.
std::string file_name_key(std::string_view name, PathStyle style = native_path_style());

// Names as the file system compares them, each looked up in one step.
class FileNameSet {
 public:
  explicit FileNameSet(PathStyle style = native_path_style()) : style_(style) {}
  // False when an equal name is in the set already.
  bool insert(std::string_view name) { return keys_.insert(file_name_key(name, style_)).second; }
  bool contains(std::string_view name) const { return keys_.contains(file_name_key(name, style_)); }
  size_t size() const { return keys_.size(); }

 private:
  PathStyle style_;
  std::unordered_set<std::string> keys_;
};

// Why Windows' ordinary path handling cannot take `name` as the name of a file or folder as
// it is, or nothing when it can: a device name (CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to
// LPT9 with the superscript digits 1 to 3 too, in any letter case, alone or followed by an
// extension: the system opens the device instead), a trailing dot or space (the system drops
// it, so the name leads to another entry), or a character that no Windows name may hold
// (< > : " / \ | ? * and the control characters 0 to 31). Such names come only from the
// verbatim form (\\?\) or from another system. The answer completes a message: "a device
// name", "a trailing dot or space", "a character that Windows forbids".
std::optional<std::string_view> windows_name_problem(std::string_view name);

// A short fixed-length name for a path, the same for every letter case of it where the file
// system ignores case: 16 lower-case hexadecimal digits of the 64-bit FNV-1a hash of the path's
// UTF-16 units upper-cased (upper_case_unit), low byte first (Windows), or of its bytes (POSIX,
// and a Windows path that is not valid UTF-8).
std::string path_key(std::string_view path, PathStyle style = native_path_style());

}  // namespace vellicor
