#pragma once
// The command line: splitting, choosing the mode, the version line and the log file name.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "vellicor_version.h"

namespace vellicor {

// The project's version, from the build (vellicor_version.h).
inline constexpr std::string_view kVersion = VELLICOR_VERSION_TEXT;

// The positional mode's option that starts the application again after a successful update.
inline constexpr std::string_view kRelaunchOption = "--relaunch";

// The positional mode's option that marks a run that the system started at logon, to finish an
// update that was cut short.
inline constexpr std::string_view kAtLogonOption = "--at-logon";

enum class Mode {
  Dump,
  Check,
  FailureBoxDemo,
  ProgressWindowDemo,
  RetrySimulation,
  Version,
  Positional
};

// The process's arguments split by the platform's rules, element 0 being the program's path.
// Fails when an argument is not valid Unicode text.
[[nodiscard]] Result<std::vector<std::string>> command_line_arguments(int argc, char** argv);

// Picks the mode from the argument count (element 0 included) and element 1.
Mode choose_mode(const std::vector<std::string>& args);

// The positional mode's filter: every argument that begins with "--" is removed.
std::vector<std::string> remove_double_dash_arguments(const std::vector<std::string>& args);

// "vellicor-updater-<seconds since 1970>.log"
std::string log_file_name(uint64_t unix_seconds);

// "Vellicor Update v" + the version + "\n"
std::string version_line();

}  // namespace vellicor
