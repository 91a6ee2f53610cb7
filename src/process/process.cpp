#include "process/process.hpp"

#include "base/fs.hpp"
#include "base/path.hpp"
#include "base/utf.hpp"

namespace vellicor {

Result<std::string> wide_to_text(const char16_t* units, size_t length) {
  size_t end = 0;
  while (end < length && units[end] != 0)
    ++end;
  auto text = utf16_to_utf8(std::u16string_view(units, end));
  if (!text) return fail_other("Could not convert from utf16");
  return text;
}

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

Error error_with_os_text(std::string_view prefix) {
  auto text = last_os_error_text();
  if (!text) return text.error();
  return Error(ErrorKind::Other, std::string(prefix) + *text);
}

}  // namespace vellicor
