#pragma once
// The checks of the positional mode's two arguments, run by the update driver.

#include <string>
#include <string_view>

#include "base/error.hpp"

namespace vellicor {

struct Installation;

struct UpdateArguments {
  std::string code_path;
  bool silent = false;
};

[[nodiscard]] Status check_code_path_absolute(std::string_view code_path);
// Also passes a missing code path when `update_recorded`: its installation records an update in
// progress, which deleted the executable already.
[[nodiscard]] Status check_code_path_exists(std::string_view code_path,
                                            bool update_recorded = false);
[[nodiscard]] Result<bool> parse_silent_flag(std::string_view flag);

// All three checks in order; the first failure is the result.
[[nodiscard]] Result<UpdateArguments> validate_update_arguments(std::string_view code_path,
                                                                std::string_view silent,
                                                                bool update_recorded = false);

// The installation of a code path, resolved once for everything that follows (the checks, the
// update, the registration at logon, which is keyed on its root): resolve_installation for an
// absolute path; a relative one has none, and the arguments' checks say why.
[[nodiscard]] Result<Installation> installation_of(std::string_view code_path);

}  // namespace vellicor
