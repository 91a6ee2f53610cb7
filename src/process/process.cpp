#include "process/process.hpp"

#include "base/fs.hpp"
#include "base/path.hpp"

namespace vellicor {

bool names_same_file(std::string_view image_path, std::string_view expected_path) {
  if (paths_equivalent(image_path, expected_path)) return true;
  const auto image = resolve_path(image_path);
  const auto expected = resolve_path(expected_path);
  if (!image || !expected) return false;
  if (paths_equivalent(*image, *expected)) return true;
  const auto image_file = metadata(*image);
  const auto expected_file = metadata(*expected);
  // A file system without file indexes reports 0 for every file.
  return image_file && expected_file && image_file->identity.index != 0 &&
         image_file->identity == expected_file->identity;
}

}  // namespace vellicor
