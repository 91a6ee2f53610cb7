#include <sys/stat.h>

#include <string>

#include "base/fs.hpp"
#include "base/os_error.hpp"

namespace vellicor {

Result<FileMetadata> metadata(std::string_view path) {
  const std::string terminated(path);
  struct stat info {};
  if (::stat(terminated.c_str(), &info) != 0) return fail(last_os_io_error());
  return FileMetadata{S_ISDIR(info.st_mode)};
}

}  // namespace vellicor
