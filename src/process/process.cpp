#include "process/process.hpp"

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

Error error_with_os_text(std::string_view prefix) {
  auto text = last_os_error_text();
  if (!text) return text.error();
  return Error(ErrorKind::Other, std::string(prefix) + *text);
}

}  // namespace vellicor
