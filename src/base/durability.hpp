#pragma once
// Durability: how far what a step wrote is carried to the disk before the step returns, and the
// steps that must outlast a power cut (durable renames, replacements and removals, a tree written
// to the device).

#include <cstdint>
#include <string_view>

#include "base/error.hpp"

namespace vellicor {

// How far a write or a rename is carried toward the disk before the call returns, said in its
// type as Git's enum fsync_action says it: left to the system's cache, written out to the device
// (whose own cache may still hold it: FLUSH_FLAGS_NO_SYNC, or fsync where the file system sends
// no cache flush on its own), or on the device's stable storage (FlushFileBuffers, fsync, a
// write-through move).
enum class Flush { None, WriteoutOnly, HardwareFlush };

// rename_replacing, on the device when it returns: the folder flushed (POSIX), the move written
// through (Windows).
[[nodiscard]] Status rename_durably(std::string_view from, std::string_view to);

// rename_durably for Flush::HardwareFlush, else rename_replacing.
[[nodiscard]] Status rename_with(Flush flush, std::string_view from, std::string_view to);

// The flags of a MoveFileExW that renames a file or a folder: replacing an existing file only for
// a file (Microsoft: MOVEFILE_REPLACE_EXISTING "cannot be used if lpNewFileName or
// lpExistingFileName names a directory"), and written through (MOVEFILE_WRITE_THROUGH) for a
// HardwareFlush: the rename is on the disk before the next step.
uint32_t windows_move_flags(bool directory, Flush flush);

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

}  // namespace vellicor
