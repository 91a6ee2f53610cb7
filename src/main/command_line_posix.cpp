#include "base/utf.hpp"
#include "main/command_line.hpp"

namespace vellicor {

Result<std::vector<std::string>> command_line_arguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    std::string arg(argv[i]);
    if (!is_valid_utf8(arg)) {
      return fail_other("an argument on the command line is not valid Unicode text");
    }
    args.push_back(std::move(arg));
  }
  return args;
}

}  // namespace vellicor
