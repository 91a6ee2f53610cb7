#pragma once
// Identity: what tells one entry from every other over time (by its number where the volume's
// numbers last, else by what lasts there), and the one open of an entry that learns it.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/durability.hpp"
#include "base/error.hpp"
#include "base/fs.hpp"
#include "base/move_handle.hpp"

namespace vellicor {

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
// `write_out` Flush::WriteoutOnly, also writes its data and metadata out to the device without
// the device's own cache flush where the volume offers that (Windows: NtFlushBuffersFileEx with
// FLUSH_FLAGS_NO_SYNC, else FlushFileBuffers; POSIX: fsync, for a volume whose entries are
// written one by one, entries_written_one_by_one). A read-only file (Windows) has its attribute
// cleared for the open and set again at once: the handle keeps the access it was given. Fails as
// the open fails ("Failed to create file handle: " and the system's text), or with a FlushError.
// `basis` is Number where numbers_last_on_volume of the entry's folder, else Traits.
[[nodiscard]] Result<OpenedEntry> open_entry(std::string_view path, OpenFor purpose,
                                             EntryIdentity::Basis basis, Flush write_out);

}  // namespace vellicor
