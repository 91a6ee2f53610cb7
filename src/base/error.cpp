#include "base/error.hpp"

namespace vellicor {

std::string Error::display_text() const {
  switch (kind_) {
    case ErrorKind::Other:
      return message_;
    case ErrorKind::Io:
      if (os_code_) return message_ + " (os error " + std::to_string(*os_code_) + ")";
      return message_;
    case ErrorKind::Argument:
      return "Bad arguments: " + message_;
    case ErrorKind::HeaderParse:
      return "Header parse error: " + message_;
    case ErrorKind::HeaderWrite:
      return "Header write error: " + message_;
    case ErrorKind::FileRecParse:
      return "FileRec parse error: " + message_;
    case ErrorKind::FileRecWrite:
      return "FileRec write error: " + message_;
    case ErrorKind::StringDecode:
      return "String decode error: " + message_;
    case ErrorKind::Rebase:
      return "Rebase error";
  }
  return message_;
}

}  // namespace vellicor
