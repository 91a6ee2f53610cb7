#pragma once
// Plain files through the platform: open, create, read, write, seek, flush, close, and the
// rename and removal that a replace-by-temporary-file needs.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "base/error.hpp"
#include "base/handle.hpp"

namespace vellicor {

// One open file, closed when the object goes away. Interrupted system calls are retried and
// never reported; every other failure is the platform's I/O error.
class File {
 public:
  File() = default;

  // An existing regular file, for reading; others may read, write and delete it meanwhile.
  // Anything else (a FIFO, a device, a directory) fails with kNotRegularFile, without waiting
  // for a writer.
  [[nodiscard]] static Result<File> open_for_reading(std::string_view path);
  // A new or truncated file, for writing (and seeking); others may read, write and delete it.
  [[nodiscard]] static Result<File> create_for_writing(std::string_view path);
  // A file that did not exist, for writing: fails when anything (a file, a link, a folder) is
  // at the path already, so that nothing planted there is written through.
  [[nodiscard]] static Result<File> create_new(std::string_view path);

  bool is_open() const { return handle_.valid(); }

  // Reads up to `size` bytes; 0 means the end of the file.
  [[nodiscard]] Result<size_t> read(void* buffer, size_t size);
  // Writes up to `size` bytes and tells how many were taken (0 only when none could be).
  [[nodiscard]] Result<size_t> write(const void* data, size_t size);
  // Moves the position to `offset` bytes from the start.
  [[nodiscard]] Status seek(uint64_t offset);
  [[nodiscard]] Result<uint64_t> position();
  [[nodiscard]] Result<uint64_t> size();
  // Pushes what was written down to the storage device (FlushFileBuffers, fsync); nothing where
  // the file system keeps no flush for it (flush_not_supported).
  [[nodiscard]] Status flush();
  // Closes the file and reports a failure of the close itself.
  [[nodiscard]] Status close() { return handle_.close(); }

 private:
  explicit File(Handle handle) : handle_(std::move(handle)) {}

  Handle handle_;
};

// Deletes one file.
[[nodiscard]] Status remove_file(std::string_view path);

// Deletes one file, if there is one: a missing file is no error. A link is removed itself.
[[nodiscard]] Status remove_file_if_present(std::string_view path);

// Makes the renames, creations and removals inside a folder durable: an fsync of the folder on
// POSIX; on Windows a flush through the folder's handle. Nothing where the file system keeps no
// flush for the folder (flush_not_supported). A flush that fails is a FlushError.
[[nodiscard]] Status flush_directory(std::string_view path);

// Whether the error code of a failed flush says that the file system keeps no flush for that
// entry, a file's and a folder's alike: there is nothing to write out through it, and every flush
// of this program (File::flush, flush_directory, open_entry's write-out, write_to_device) takes
// the answer as done. POSIX (errno of fsync, syncfs): EINVAL, EROFS, ENOTSUP; Windows (the Win32
// error of FlushFileBuffers, or of NtFlushBuffersFileEx's status): ERROR_INVALID_FUNCTION
// (STATUS_INVALID_DEVICE_REQUEST), ERROR_NOT_SUPPORTED. Every other failure is a FlushError.
bool flush_not_supported(int code);

// Lets this process have as many files open at once as the system lets it: POSIX raises the soft
// limit of open descriptors to the hard one (the update holds every old file and every staged
// top-level file at once, and the usual soft limit of 1024 is far below what the hard limit
// allows). Past the hard limit, running out is final (TooManyOpenFilesError). Called once, as
// the program starts. Windows: nothing to raise.
void raise_open_file_limit();

}  // namespace vellicor
