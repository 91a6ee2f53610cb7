#include "main/entry.hpp"

#include "base/clock.hpp"
#include "base/console.hpp"
#include "main/command_line.hpp"
#include "model/uninstall_log.hpp"

namespace vellicor {
namespace {

int not_available_yet(std::string_view mode) {
  write_stderr("Error: the " + std::string(mode) + " mode is not available yet\n");
  return 1;
}

int bad_usage() {
  write_stderr(version_line());
  write_stderr("Error: Bad usage\n");
  return 1;
}

}  // namespace

int run_entry_point(const std::vector<std::string>& args) {
  const auto now = unix_seconds_now();
  if (!now) {
    write_stderr(
        "Error: the system clock reads earlier than 1970-01-01, no log name can be formed\n");
    return 1;
  }
  [[maybe_unused]] const std::string log_name = log_file_name(*now);

  switch (choose_mode(args)) {
    case Mode::Dump:
      return dump_uninstall_log(args[2]);
    case Mode::FailureBoxDemo:
      return not_available_yet("--error");
    case Mode::ProgressWindowDemo:
      return not_available_yet("--gui");
    case Mode::RetrySimulation:
      return not_available_yet("--retry-simulation");
    case Mode::Version:
      write_stderr(version_line());
      return 0;
    case Mode::Positional:
      break;
  }
  const auto positional = remove_double_dash_arguments(args);
  if (positional.size() <= 2) return bad_usage();
  return not_available_yet("update");
}

}  // namespace vellicor
