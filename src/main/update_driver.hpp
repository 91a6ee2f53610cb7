#pragma once
// One whole update, from the positional arguments to the exit code: the log file, the argument
// checks, waiting for and killing the application, the progress window, the update engine, and
// the one error path (error record, failure box, exit code 1).

#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "update/retry.hpp"

namespace vellicor {

class Logger;

// The fixed action of both kill steps' Retry/Cancel box, whatever they kill.
inline constexpr std::string_view kKillAction =
    "attempting to kill any running Vellicor.exe processes";

struct UpdateOptions {
  // A successful update starts the application again (a failure to start it is a warning, and
  // the update still succeeded).
  bool relaunch = false;
  // The system started the run at logon: with no update left to finish, it only takes the
  // registration back.
  bool at_logon = false;
  // The arguments as the run was given them (element 0 left out), which the system runs again
  // at the next logon while the update is unfinished.
  std::vector<std::string> given;
};

// `args` is the filtered argument list with at least three elements: element 1 is the code
// path, element 2 the silent flag. Gives 0 on success and 1 on any failure.
int run_update(const std::vector<std::string>& args, const UpdateOptions& options = {});

// Lists the processes every 500 ms, at most 60 times, until none is named `name` (names compared
// as the file system compares them). Never fails because one keeps running; fails at once when
// a listing fails.
[[nodiscard]] Status wait_for_process_exit(Logger& logger, std::string_view name,
                                           const RetryHooks& hooks = {});

// Kills every process named `name` (as the file system compares names) whose image is the file
// at `expected_path` (names_same_file), under retry_with_prompt with 11 attempts a series;
// every attempt takes a fresh listing.
[[nodiscard]] Status kill_with_retry(Logger& logger, std::string_view name,
                                     std::string_view expected_path, const RetryHooks& hooks = {});

}  // namespace vellicor
