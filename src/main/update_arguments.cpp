#include "main/update_arguments.hpp"

#include "base/fs.hpp"
#include "base/path.hpp"
#include "update/installation.hpp"

namespace vellicor {

Status check_code_path_absolute(std::string_view code_path) {
  if (is_absolute_path(code_path)) return {};
  return fail(ArgumentError,
              "Code path needs to be absolute. Instead got: " + std::string(code_path));
}

Status check_code_path_exists(std::string_view code_path, bool update_recorded) {
  if (metadata(code_path)) return {};
  // An update cut short after it deleted the old executable is finished by running the same
  // command again.
  if (update_recorded) return {};
  return fail(ArgumentError, "Code path doesn't seem to exist: " + std::string(code_path));
}

Result<bool> parse_silent_flag(std::string_view flag) {
  if (flag == "true") return true;
  if (flag == "false") return false;
  return fail(ArgumentError, "Silent needs to be true or false. Instead got: " + std::string(flag));
}

Result<UpdateArguments> validate_update_arguments(std::string_view code_path,
                                                  std::string_view silent, bool update_recorded) {
  if (auto status = check_code_path_absolute(code_path); !status) return fail(status.error());
  if (auto status = check_code_path_exists(code_path, update_recorded); !status) {
    return fail(status.error());
  }
  auto flag = parse_silent_flag(silent);
  if (!flag) return fail(flag.error());
  return UpdateArguments{std::string(code_path), *flag};
}

Result<Installation> installation_of(std::string_view code_path) {
  if (!is_absolute_path(code_path)) return fail_other("not an absolute path");
  return resolve_installation(code_path);
}

}  // namespace vellicor
