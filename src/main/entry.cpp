#include "main/entry.hpp"

#include <algorithm>

#include "base/clock.hpp"
#include "base/console.hpp"
#include "main/check_mode.hpp"
#include "main/command_line.hpp"
#include "main/demo_modes.hpp"
#include "main/dump.hpp"
#include "main/update_driver.hpp"

namespace vellicor {
namespace {

// A demonstration that cannot bring its window up has nothing to show.
int demo_exit_code(const Status& status) {
  if (status) return 0;
  write_stderr("Error: " + status.error().display_text() + "\n");
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
  const std::string log_name = log_file_name(*now);

  switch (choose_mode(args)) {
    case Mode::Dump:
      return dump_uninstall_log(args[2]);
    case Mode::Check:
      return run_check(args);
    case Mode::FailureBoxDemo:
      demo_failure_box(log_name);
      return 0;
    case Mode::ProgressWindowDemo:
      return demo_exit_code(demo_progress_window());
    case Mode::RetrySimulation:
      return demo_exit_code(demo_retry_simulation(log_name));
    case Mode::Version:
      write_stderr(version_line());
      return 0;
    case Mode::Positional:
      break;
  }
  const auto positional = remove_double_dash_arguments(args);
  if (positional.size() <= 2) return bad_usage();
  // Like every "--" argument they are filtered out above, wherever they stand; an updater that
  // does not know them ignores them.
  const auto has = [&](std::string_view option) {
    return std::find(args.begin() + 1, args.end(), option) != args.end();
  };
  UpdateOptions options;
  options.relaunch = has(kRelaunchOption);
  options.at_logon = has(kAtLogonOption);
  options.given.assign(args.begin() + 1, args.end());
  return run_update(positional, options);
}

}  // namespace vellicor
