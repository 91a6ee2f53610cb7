#pragma once
// File-system primitives over the platform: metadata, directory listing with entry kinds,
// rename, tree removal that never follows links, and the temporary directory.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/move_handle.hpp"

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

// What tells one entry from every other over time, as far as its volume can tell: it stays while
// the entry is renamed within its volume, and across reboots, and an entry made anew, or deleted
// and made again, has another. Where the volume's file numbers last (NTFS and ReFS; ext4, XFS,
// Btrfs and the other local file systems of Linux; NFS) it is the number: on Windows the
// volume's serial number and the 128-bit file identifier (NTFS's file reference carries a
// sequence number that changes when the number is given out again), both kept on the volume
// itself; on Linux the inode with its generation and birth time, since ext4 gives a freed inode
// number to the next new entry at once, and no volume, since Linux numbers its devices anew as
// volumes are attached. Where numbers do not last (FAT and exFAT, whose numbers change when an
// entry moves or the volume is mounted again; FUSE; file systems this does not know), it is what
// lasts there: the kind, the size and last-write time of a file, and for a folder a digest of
// the names, kinds, sizes and times of everything below it. Every part is read, or the identity
// is an error: never one read through a call that failed.
struct EntryIdentity {
  enum class Basis : uint8_t { Number, Traits };
  Basis basis = Basis::Number;
  // Number: volume (0 where none is kept), index (high and low 64 bits), incarnation (0 where
  // none is known).
  // Traits: kind (EntryKind), size, last-write time, digest (a file: 0; a folder: 0, 0, digest).
  std::array<uint64_t, 4> fields{};
  // The same fields, as read and written: same_entry tells whether two name one entry.
  friend bool operator==(const EntryIdentity&, const EntryIdentity&) = default;
};

// Whether two identities name one entry: the same basis and fields, where a volume or an
// incarnation that one side does not know (0: records of earlier builds kept no incarnation,
// and Linux device numbers, which they kept as the volume, are read as none) is not compared.
bool same_entry(const EntryIdentity& a, const EntryIdentity& b);

// How a folder is told where numbers do not last: by a digest of everything below it, or by its
// kind alone, for a folder whose contents go meanwhile (the old version's, while it is deleted).
enum class FolderTraits { Digest, KindOnly };

// The identity of the entry that `path` names itself: a link is not followed.
[[nodiscard]] Result<EntryIdentity> entry_identity(std::string_view path,
                                                   FolderTraits folders = FolderTraits::Digest);

// Whether the volume that holds the folder `path` keeps its file numbers for as long as an entry
// lasts (EntryIdentity).
bool numbers_last_on_volume(std::string_view path);

// numbers_last_on_volume, or the error that kept the question from being answered: an identity
// must not be another one because a call failed.
[[nodiscard]] Result<bool> numbers_last_at_folder(std::string_view path);

// Whether the files at `a` and `b` are one file by two names (hard links) on a volume whose
// numbers do not last (where they last, equal identities tell it): both with more than one name
// (Windows' link count), of the same size and the same contents, which confirms equal numbers
// (OpenedEntry::linked_number) or stands for numbers that the volume does not give. POSIX: the
// same device and inode.
[[nodiscard]] Result<bool> same_file(std::string_view a, std::string_view b);

// Whether the volume that holds the folder `path` keeps its renames in the order they were made
// through a power cut, so that a later durable step carries the earlier renames with it: a
// journal (NTFS, ReFS; on Linux the local file systems whose numbers last) does. FAT and exFAT
// keep none, and may write a later change before an earlier one; shares and FUSE file systems
// are not known to.
bool renames_ordered_on_volume(std::string_view path);

// Whether the volume that holds the folder `path` has a file system whose folder renames this
// program knows to keep what a folder holds. Elsewhere (FUSE file systems, shares, whatever this
// does not know) not even a folder's rename is taken on trust (check_folder_moves). POSIX: the
// file systems whose numbers last; Windows: a local NTFS, ReFS, FAT, FAT32 or exFAT volume.
bool folder_moves_known_on_volume(std::string_view path);

// What Windows says of the volume that holds an entry: whether GetVolumeInformationByHandleW
// answered, the file system's name and flags it gave, and whether the volume is a share (a UNC
// path, or a drive that GetDriveTypeW calls DRIVE_REMOTE).
struct WindowsVolume {
  bool answered = false;
  std::string file_system;
  uint32_t flags = 0;
  bool remote = false;
};

// Whether Windows' file numbers last on that volume: only where Microsoft documents it, a local
// NTFS or ReFS volume that supports opening a file by its number (FILE_SUPPORTS_OPEN_BY_FILE_ID).
// Shares do not (Samba names its volumes "NTFS" over file systems that hand numbers out again,
// and SMB does not answer the volume query), nor user-mode file systems that call themselves
// NTFS, nor Wine's drives (NTFS without that flag, inode numbers inside).
bool windows_numbers_last(const WindowsVolume& volume);

// Whether that volume keeps its renames in order through a power cut: a local NTFS or ReFS
// volume, whose log does.
bool windows_renames_ordered(const WindowsVolume& volume);

// Whether Windows' folder renames keep what a folder holds on that volume, as far as this program
// knows the file system: a local NTFS, ReFS, FAT, FAT32 or exFAT volume.
bool windows_folder_moves_known(const WindowsVolume& volume);

// Whether a 128-bit file identifier (FILE_ID_INFO) names one entry: Microsoft's file systems give
// all zeros where they keep none and all ones where an entry has no unique one.
bool windows_file_id_usable(const std::array<uint8_t, 16>& id);

// Makes the folder `path` unless a folder is there already.
[[nodiscard]] Status make_directory(std::string_view path);

// What an entry's own listing says of it (a link not followed): its kind, its size and its
// last-write time in the system's own count (nanoseconds since 1970 on POSIX, a FILETIME on
// Windows).
struct EntryTraits {
  EntryKind kind = EntryKind::File;
  uint64_t size = 0;
  uint64_t modified = 0;
};
[[nodiscard]] Result<EntryTraits> entry_traits(std::string_view path);

// The identity by what lasts where numbers do not: entry_identity's Traits basis.
[[nodiscard]] Result<EntryIdentity> traits_identity(std::string_view path,
                                                    FolderTraits folders = FolderTraits::Digest);

// Whether a regular file is at `path` itself: not a directory, not a link or junction (which is
// not followed), not a device, FIFO or socket. Anything that keeps it from being confirmed
// (nothing there, no access, a name the system refuses) is false.
bool is_regular_file(std::string_view path);

// Whether `path` names a folder itself, on the volume `volume` (FileMetadata::volume): not a link
// or junction to one, and not a mount point (on Windows, no reparse point at all), so that what
// it seems to hold is what it holds.
bool is_folder_on_volume(std::string_view path, uint64_t volume);

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

// rename_replacing, on the device when it returns: the folder flushed (POSIX), the move written
// through (Windows).
[[nodiscard]] Status rename_durably(std::string_view from, std::string_view to);

// The flags of a MoveFileExW that renames a file or a folder: replacing an existing file only for
// a file (Microsoft: MOVEFILE_REPLACE_EXISTING "cannot be used if lpNewFileName or
// lpExistingFileName names a directory"), and written through when the rename must be on the
// disk before the next step.
uint32_t windows_move_flags(bool directory, bool durable);

// Replaces the file at `path` by one that holds `content`, so that a power cut leaves the old
// file or the new one, never a part: written to the new file `temp` (whatever is at that name is
// removed first), flushed to the device, renamed over `path`, and the rename flushed.
[[nodiscard]] Status replace_file_durably(std::string_view path, std::string_view temp,
                                          std::string_view content);

// Removes the file at `path` and a leftover `temp` of its replacement or removal, so that
// neither outlives the call, even through a power cut: the file is renamed to `temp` durably
// (rename_durably), then `temp` is removed and its folder flushed. Tells whether the file was
// there; a folder at `path` fails with "<path> is a folder", one at `temp` with the system's
// error.
[[nodiscard]] Result<bool> remove_file_durably(std::string_view path, std::string_view temp);

// The whole text of a small file, read from where `file` stands. Reading stops once more than
// `limit` bytes are in: a longer text tells the caller that the file is not one it wrote.
[[nodiscard]] Result<std::string> read_small_file(File& file, size_t limit);

// Why an entry that an update moves is opened, which decides the access it asks and what it
// lets other programs do meanwhile (Windows; a POSIX open is the same for all).
enum class OpenFor {
  Looking,  // what the entry is: asks nothing that another program's open could refuse
  Holding,  // a file that moves by itself: held until its move with delete and write access,
            // others may read it only (what they write meanwhile could not be on the disk)
  Moving,   // a folder that moves by itself: others may do anything that leaves it movable
  Alone,    // a file or folder inside one that moves: opened while no other program has it open
            // (Microsoft's file systems refuse a folder's rename while anything below is open),
            // and let go again
};

// What one open of a file or folder (never a link) tells, for a pass that opens each entry once.
struct OpenedEntry {
  EntryKind kind = EntryKind::File;
  uint64_t size = 0;
  uint64_t modified = 0;  // as EntryTraits
  uint32_t links = 1;     // the file's names (hard links)
  // A file with other names: its number while it exists (volume and index), where the volume
  // gives one, also where numbers may not outlast a reboot; two names with different numbers are
  // two files.
  std::optional<FileIdentity> linked_number;
  // As entry_identity tells it, the number from this open; a folder whose volume keeps no
  // numbers by its kind alone (the caller adds what is below it).
  EntryIdentity identity;
  // POSIX: the attribute that keeps it from moving ("it is immutable", "it is append-only").
  std::optional<std::string_view> forbidding_attribute;
  // Holding (Windows): the hold, for move_held.
  std::optional<MoveHandle> hold;
};

// Opens the file or folder at `path` for `purpose` and learns what OpenedEntry holds; with
// `write_out`, also writes its data and metadata out to the device without the device's own
// cache flush where the volume offers that (Windows: NtFlushBuffersFileEx with
// FLUSH_FLAGS_NO_SYNC, else FlushFileBuffers; POSIX: fsync, for a volume whose entries are
// written one by one, entries_written_one_by_one). A read-only file (Windows) has its attribute
// cleared for the open and set again at once: the handle keeps the access it was given. Fails as
// the open fails ("Failed to create file handle: " and the system's text), or with a FlushError.
// `numbers_last` is numbers_last_on_volume of the entry's folder.
[[nodiscard]] Result<OpenedEntry> open_entry(std::string_view path, OpenFor purpose,
                                             bool numbers_last, bool write_out);

// Whether the entries of the folder `path` are written to the device one by one, through an open
// of each (open_entry's write_out), before write_to_device: POSIX on a FUSE volume, whose daemon
// keeps buffers that a sync of the file system does not reach; Windows everywhere (the cache
// manager writes a file's data through a handle of the file).
bool entries_written_one_by_one(std::string_view path);

// The last step of writing a folder's tree to the device, once its entries are written out
// (entries_written_one_by_one): POSIX: one sync of the file system that holds it (syncfs), which
// also reports the errors of earlier writes there, or on FUSE an fsync of the folder; Windows: a
// flush of the folder through its handle, which writes its entries and makes the device flush
// its cache (MS-FSA 2.1.5.7). Fails with "Could not write <path> to the disk: " and the system's
// text (a FlushError where the flush failed).
[[nodiscard]] Status write_to_device(std::string_view path);

// Whether another program's open of a file or folder stops it, or the folder that holds it, from
// being renamed: on Windows a rename needs the entry's delete access, which an open without
// delete sharing refuses, and a folder is not renamed while anything below it is open. On POSIX
// an open file stops no rename.
bool opens_stop_renames();

// An entry of a tree that is walked to be deleted is no longer what its listing showed: a folder
// replaced by a link or by another entry, or another file system mounted on it, since it was
// listed. What it leads to now is not the tree's, and no wait makes it so: final. Its message
// names the entry: "<path> changed while the update ran: it is a link now" (or "...: it is no
// longer a folder", "...: another file system is mounted on it now").
inline constexpr ErrorKind EntryChangedError{
    "EntryChangedError", "", ErrorKind::Text::StartsMessage, ErrorKind::Retry::Final};
Error entry_changed_error(std::string_view path, std::string_view how);

// Removes a directory with everything in it (walk_breadth_first: every folder's files and links
// as it is listed, then the emptied folders, the deepest first). A link (the target itself or
// inside the tree) is removed as a link; what it points to is never touched, and a folder that
// becomes a link while the removal runs is refused (EntryChangedError; POSIX). The first failure
// stops the removal.
[[nodiscard]] Status remove_directory_tree(std::string_view path);

// The same for a folder that a listing showed as one: anything else at `path` now (a link, a
// file, a mount point) fails with an EntryChangedError that names it, and nothing is removed.
[[nodiscard]] Status remove_folder_tree(std::string_view path);

// The two removals that remove_directory_tree is made of: an empty folder (on Windows a
// read-only attribute is cleared for it, and set again when the removal fails), and what a
// listing shows that is not a folder: a file, or a link itself (on Windows a link to a folder
// by the folder's call).
[[nodiscard]] Status remove_empty_folder(std::string_view path);
// What a listing of its folder shows of the entry that `path` names itself (a link not followed;
// POSIX: a mount point is a link).
[[nodiscard]] Result<DirEntry> listed_entry(std::string_view path);
[[nodiscard]] Status remove_listed_entry(std::string_view path, const DirEntry& entry);

// The folder for temporary files (GetTempPathW; $TMPDIR or /tmp on POSIX).
[[nodiscard]] Result<std::string> temp_directory();

}  // namespace vellicor
