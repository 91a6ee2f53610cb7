#pragma once
// File-system primitives over the platform: entries and their kinds, metadata, listings, paths
// resolved, plain renames, and the temporary directory. Identity, durability, volumes and tree
// removal have headers of their own (entry_identity.hpp, durability.hpp, volume.hpp,
// tree_removal.hpp).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"

namespace vellicor {

class File;

enum class EntryKind { File, Directory, Link };

// The kind of a listed entry from its Windows attributes and reparse tag, without opening it:
// a reparse point whose tag has the name-surrogate bit (symbolic links, junctions) is a link,
// else the directory attribute makes a directory, and everything else is a file.
EntryKind entry_kind_from_attributes(uint32_t attributes, uint32_t reparse_tag);

struct DirEntry {
  std::optional<std::string> name;  // nothing when the name is not valid Unicode
  EntryKind kind = EntryKind::File;
  bool directory_attribute = false;  // a link to a directory has it, a link to a file not
  // A folder on which another file system is mounted (POSIX; listed as a link). Unlike a link
  // or a Windows volume mount point it cannot be removed while the mount is there.
  bool mount_point = false;
};

// What tells one file or folder from every other while it exists: its volume (the volume serial
// number on Windows, the device on POSIX) and its index on that volume (the file index, the
// inode). Two paths with equal identities name one file; a rename within the volume keeps it, a
// file made anew gets another.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

struct FileMetadata {
  bool is_directory = false;
  // Which file system holds it: the volume serial number on Windows, the mount on POSIX (two
  // bind mounts of one file system differ). Equal values mean the same volume.
  uint64_t volume = 0;
  FileIdentity identity;  // of what the path leads to
};

// Metadata of what the path leads to, following links; fails with the platform's I/O error.
[[nodiscard]] Result<FileMetadata> metadata(std::string_view path);

// Makes the folder `path` unless a folder is there already.
[[nodiscard]] Status make_directory(std::string_view path);

// Whether a regular file is at `path` itself: not a directory, not a link or junction (which is
// not followed), not a device, FIFO or socket. Anything that keeps it from being confirmed
// (nothing there, no access, a name the system refuses) is false.
bool is_regular_file(std::string_view path);

// The path of what `path` leads to as the file system knows it: absolute, links and junctions
// followed, "." and ".." applied, every component in the file system's own spelling (realpath;
// GetFinalPathNameByHandleW, in the plain form C:\... or \\server\share\... where there is
// one). Fails with the platform's I/O error when nothing is there.
[[nodiscard]] Result<std::string> resolve_path(std::string_view path);

// resolve_path for a path that may be gone in part: the longest leading part that exists is
// resolved and the missing names are joined to it as they are, so that a folder deleted since
// still gets the name it had when it was there (through the same link or short name). Fails
// only where resolve_path fails for another reason than a missing entry, or when not even the
// path's root is there.
[[nodiscard]] Result<std::string> resolve_path_as_far_as_it_exists(std::string_view path);

// The entries of a directory in the platform's listing order, without "." and "..". A
// directory that is another mount (POSIX) is listed as a link, as Windows lists a volume mount
// point: walks leave it alone.
[[nodiscard]] Result<std::vector<DirEntry>> list_directory(std::string_view path);

// Renames, replacing an existing file at `to`. A directory never replaces anything: where the
// file system has no rename that refuses to replace (FUSE and network file systems, older
// kernels: EINVAL, ENOSYS, EOPNOTSUPP), a directory is renamed plainly once nothing is found at
// `to`, which the caller's lock keeps so.
[[nodiscard]] Status rename_replacing(std::string_view from, std::string_view to);

// The whole text of a small file, read from where `file` stands. Reading stops once more than
// `limit` bytes are in: a longer text tells the caller that the file is not one it wrote.
[[nodiscard]] Result<std::string> read_small_file(File& file, size_t limit);

// The folder for temporary files (GetTempPathW; $TMPDIR or /tmp on POSIX).
[[nodiscard]] Result<std::string> temp_directory();

}  // namespace vellicor
