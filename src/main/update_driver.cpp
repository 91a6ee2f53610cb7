#include "main/update_driver.hpp"

#include <algorithm>
#include <memory>
#include <optional>

#include "base/clock.hpp"
#include "base/console.hpp"
#include "base/fs.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"
#include "gui/gui.hpp"
#include "logging/logger.hpp"
#include "main/command_line.hpp"
#include "main/failure_box.hpp"
#include "main/logon_resume.hpp"
#include "main/update_arguments.hpp"
#include "process/process.hpp"
#include "update/checks.hpp"
#include "update/do_update.hpp"
#include "update/installation.hpp"
#include "update/logon_decision.hpp"
#include "update/update_context.hpp"
#include "update/update_lock.hpp"
#include "update/update_record.hpp"

namespace vellicor {
namespace {

constexpr uint32_t kWaitAttempts = 60;
constexpr uint32_t kWaitMilliseconds = 500;
constexpr uint32_t kKillLimit = 11;

// How a run ended that did not fail.
enum class Ending {
  Updated,            // the update is complete
  NothingToFinish,    // a run at logon found nothing that a record began (it logged why)
  AnotherUpdateRuns,  // a run at logon found another update of the installation running
};

// The update engine, with the registration for the next logon around it: the registration
// stays for as long as an update record says that the installation is between two versions (the
// engine takes its record back when it stops before anything was deleted, and removes it
// durably once the update is complete; a record that could not be removed keeps its
// registration, which the next logon then finishes and takes back). A run at logon was started
// by that registration, and only finishes what its record began.
Status update_resumable_at_logon(Logger& logger, const Installation& installation,
                                 const UpdateOptions& options) {
  if (options.at_logon) return do_update(logger, installation, {}, UpdateAuthority::Record);
  // Only an update that has passed its checks registers: a refused one leaves nothing behind.
  bool registered = false;
  auto updated = do_update(logger, installation, {}, UpdateAuthority::Caller, [&] {
    registered = register_resume_at_logon(logger, installation, options.given);
  });
  if (registered && !update_recorded(installation)) {
    unregister_resume_at_logon(logger, installation.root);
  }
  return updated;
}

// Every step of an update after its checks, with the installation's lock held: waiting for and
// ending the application, the progress window and the engine.
Status update_after_checks(Logger& logger, const Installation& installation, bool silent,
                           const UpdateOptions& options) {
  const std::string& process_name = installation.executable_name;
  if (auto waited = wait_for_process_exit(logger, process_name); !waited) return waited;
  if (auto killed = kill_with_retry(logger, process_name, installation.code_path); !killed) {
    return killed;
  }
  if (auto killed =
          kill_with_retry(logger, installation.auxiliary_name, installation.auxiliary_path);
      !killed) {
    return killed;
  }

  log_info(logger, "Vellicor Updater v" + std::string(kVersion));
  log_info(logger, std::string("Starting update, silent = ") + (silent ? "true" : "false"));

  const auto progress_thread = start_progress_thread(silent);
  if (!progress_thread) return fail_other("Could not receive GUI window handle");

  // On failure the progress window stays up until the process ends, but the session no longer
  // waits for it.
  if (auto replaced = update_resumable_at_logon(logger, installation, options); !replaced) {
    end_shutdown_block(*progress_thread);
    return replaced;
  }
  post_quit_to_thread(*progress_thread);
  return {};
}

// What an update that was cut short may leave once its record is gone, removed by a run that
// holds the installation's lock (so that no update of it runs): the leftover of the record's
// removal, and with no record the registration at logon, which nothing needs any more (a run at
// logon removes it as it ends, in any case). A record that cannot be looked at keeps it.
void clear_leftovers(Logger& logger, const Installation& installation, bool at_logon) {
  UpdateRecord::remove_leftover(logger, installation);
  if (!at_logon && !update_recorded(installation)) {
    unregister_resume_at_logon(logger, installation.root);
  }
}

void log_resolution(Logger& logger, std::string_view given, const Installation& installation) {
  if (installation.code_path != given) {
    log_info(logger, "Code path resolves to " + installation.code_path);
  }
}

// An update that the caller asked for; any error takes the driver's one error path.
Result<Ending> update(Logger& logger, const std::vector<std::string>& args,
                      const UpdateOptions& options, const Result<Installation>& installation) {
  auto arguments =
      validate_update_arguments(args[1], args[2], installation && update_recorded(*installation));
  if (!arguments) return fail(arguments.error());
  if (!installation) return fail(installation.error());
  log_resolution(logger, args[1], *installation);
  if (auto updater = updater_executable(); updater) {
    if (auto placed = check_updater_placement(*installation, *updater); !placed) {
      return fail(placed.error());
    }
  }
  // Held until the update is over: a second updater of this installation stops here, before it
  // has touched anything.
  auto lock = UpdateLock::take(installation->root);
  if (!lock) return fail(lock.error());
  clear_leftovers(logger, *installation, false);
  if (auto replaced = update_after_checks(logger, *installation, arguments->silent, options);
      !replaced) {
    return fail(replaced.error());
  }
  return Ending::Updated;
}

// A run at logon, which nobody asked for: it decides on the installation's record alone, under
// the installation's lock, before it waits for or ends any process, and goes on only to finish
// the update that the record began.
Result<Ending> finish_at_logon(Logger& logger, const std::vector<std::string>& args,
                               const UpdateOptions& options,
                               const Result<Installation>& installation) {
  if (!installation) {
    // No installation can be told from the code path, so no update was ever recorded for it.
    log_info(logger, "Started at logon with no update left to finish in " + args[1]);
    return Ending::NothingToFinish;
  }
  log_resolution(logger, args[1], *installation);
  std::optional<UpdateLock> lock;
  if (auto root = metadata(installation->root); root || !is_not_found(root.error())) {
    auto taken = UpdateLock::try_take(installation->root);
    if (!taken) return fail(taken.error());
    if (!*taken) {
      // That update keeps the registration for as long as it needs it.
      log_info(logger, "Started at logon while another update of " + installation->root +
                           " runs: leaving it to that update");
      return Ending::AnotherUpdateRuns;
    }
    lock.emplace(std::move(**taken));
    clear_leftovers(logger, *installation, true);
  }
  auto verdict = decide_at_logon(UpdateContext{logger, *installation, {}});
  if (!verdict) return fail(verdict.error());
  if (*verdict == LogonVerdict::NothingToDo) return Ending::NothingToFinish;
  auto arguments = validate_update_arguments(args[1], args[2], true);
  if (!arguments) return fail(arguments.error());
  if (auto replaced = update_after_checks(logger, *installation, arguments->silent, options);
      !replaced) {
    return fail(replaced.error());
  }
  return Ending::Updated;
}

// Starts the new version of the application, as the caller asked. The update has succeeded
// whatever happens here: a failure is a warning. A run at logon, which nobody watches, starts
// nothing that another user could have put there (the registration's own rule).
void relaunch(Logger& logger, const Installation& installation, bool at_logon) {
  if (const auto exposed =
          at_logon ? why_others_could_replace(installation.code_path) : std::nullopt) {
    log_info(logger, "Not relaunching " + installation.code_path +
                         " at logon: others could replace it: " + *exposed);
    return;
  }
  auto started = start_detached(installation.code_path, installation.root);
  if (!started) {
    log_warning(logger, "Failed to relaunch " + installation.code_path + ": " +
                            started.error().display_text());
    return;
  }
  log_info(logger, "Relaunched " + installation.code_path + ", pid " + std::to_string(*started));
}

}  // namespace

int run_update(const std::vector<std::string>& args, const UpdateOptions& options) {
  const uint64_t started = steady_microseconds();
  // Without a log file the program cannot report anything to the user: say why on standard
  // error (seen only when redirected) and stop.
  const auto now = unix_seconds_now();
  auto temp = temp_directory();
  if (!now || !temp) {
    write_stderr("Error: no log file can be created (no clock or no temporary directory)\n");
    return 1;
  }
  const std::string log_path = join_path(*temp, log_file_name(*now));
  auto sink = create_log_file(log_path);
  if (!sink) {
    write_stderr("Error: the log file " + log_path +
                 " cannot be created: " + sink.error().display_text() + "\n");
    return 1;
  }
  std::unique_ptr<Logger> logger = create_logger(std::move(*sink));

  log_info(*logger, "Starting: " + args[1] + ", " + args[2]);
  const auto installation = installation_of(args[1]);
  const auto ended = without_memory_exhaustion([&] {
    return options.at_logon ? finish_at_logon(*logger, args, options, installation)
                            : update(*logger, args, options, installation);
  });
  // A run at logon that failed would fail again at every logon: shown once, the registration
  // goes too (the record stays, so that the same command can still finish the update). One that
  // updated and left its record (an uninstall log to rewrite later) keeps it for the next logon.
  const bool record_left = ended && *ended == Ending::Updated && update_recorded(*installation);
  if (options.at_logon && installation && !record_left &&
      (!ended || *ended != Ending::AnotherUpdateRuns)) {
    unregister_after_logon(*logger, installation->root, started);
  }
  if (ended) {
    if (*ended == Ending::Updated) {
      log_info(*logger, "Update was successful!");
      if (options.relaunch) relaunch(*logger, *installation, options.at_logon);
    }
    release_logger(std::move(logger));
    return 0;
  }
  log_error(*logger, ended.error().display_text());
  show_failure_box(log_path);
  release_logger(std::move(logger));
  return 1;
}

Status wait_for_process_exit(Logger& logger, std::string_view name, const RetryHooks& hooks) {
  const std::string text(name);
  for (uint32_t attempt = 1;; ++attempt) {
    log_info(logger, "Checking for running " + text + " processes..." + attempt_suffix(attempt),
             kProcessModule);
    auto listing = list_processes();
    if (!listing) return fail(listing.error());
    // A process started through another spelling of the path (letter case, on Windows) is
    // listed under that spelling of the name.
    const bool running =
        std::any_of(listing->begin(), listing->end(),
                    [&](const ProcessEntry& entry) { return file_names_equal(entry.name, name); });
    if (!running) {
      log_info(logger, text + " is not running", kProcessModule);
      return {};
    }
    if (attempt == kWaitAttempts) {
      // What still runs is the kill step's business.
      log_info(logger, "Gave up waiting for " + text + " to exit", kProcessModule);
      return {};
    }
    log_info(logger, text + " is running, wait a bit", kProcessModule);
    hooks.sleep(kWaitMilliseconds);
  }
}

Status kill_with_retry(Logger& logger, std::string_view name, std::string_view expected_path,
                       const RetryHooks& hooks) {
  return retry_with_prompt(
      kKillAction, kKillLimit,
      [&](uint32_t attempt) -> Status {
        log_info(logger,
                 "Checking for possible conflicting running processes..." + attempt_suffix(attempt),
                 kProcessModule);
        auto listing = list_processes();
        if (!listing) return fail(listing.error());
        std::vector<Error> errors;
        for (const auto& entry : *listing) {
          if (!file_names_equal(entry.name, name)) continue;
          if (auto killed = kill_process_if_found(logger, entry, expected_path); !killed) {
            errors.push_back(killed.error());
          }
        }
        if (errors.empty()) return {};
        for (const auto& error : errors) {
          log_warning(logger, "Kill error " + error.display_text(), kProcessModule);
        }
        return fail(errors.front());
      },
      hooks);
}

}  // namespace vellicor
