#pragma once
// Volumes: what the file system that holds an entry keeps through a power cut and a reboot, and
// what it lets other programs' opens do, as far as the system says.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vellicor {

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

// Whether `path` names a folder itself, on the volume `volume` (FileMetadata::volume): not a link
// or junction to one, and not a mount point (on Windows, no reparse point at all), so that what
// it seems to hold is what it holds.
bool is_folder_on_volume(std::string_view path, uint64_t volume);

// Whether another program's open of a file or folder stops it, or the folder that holds it, from
// being renamed: on Windows a rename needs the entry's delete access, which an open without
// delete sharing refuses, and a folder is not renamed while anything below it is open. On POSIX
// an open file stops no rename.
bool opens_stop_renames();

}  // namespace vellicor
