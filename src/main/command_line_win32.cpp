#include "base/win32.hpp"

#include <shellapi.h>

#include "main/command_line.hpp"

namespace vellicor {

Result<std::vector<std::string>> command_line_arguments(int, char**) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return fail_other("the command line could not be split");
  std::vector<std::string> args;
  Status status;
  for (int i = 0; i < count && status; ++i) {
    if (auto arg = win32::from_wide(wide[i])) {
      args.push_back(std::move(*arg));
    } else {
      status = fail_other("an argument on the command line is not valid Unicode text");
    }
  }
  LocalFree(wide);
  if (!status) return fail(status.error());
  return args;
}

}  // namespace vellicor
