#include "main/check_mode.hpp"

#include <memory>

#include "base/console.hpp"
#include "logging/logger.hpp"
#include "main/command_line.hpp"
#include "main/logon_resume.hpp"
#include "main/update_arguments.hpp"
#include "update/installation.hpp"
#include "update/update_check.hpp"
#include "update/update_context.hpp"
#include "update/update_record.hpp"

namespace vellicor {
namespace {

Result<std::string> check(const std::string& given) {
  // The update's own order: the arguments first, then the installation they name.
  const auto installation = installation_of(given);
  auto arguments =
      validate_update_arguments(given, "false", installation && update_recorded(*installation));
  if (!arguments) return fail(arguments.error());
  if (!installation) return fail(installation.error());
  // An updater that cannot tell its own path cannot lie in what the update deletes either.
  const auto updater = updater_executable();
  // The checks log as they do in an update; the check keeps no log.
  auto logger = create_logger(std::make_unique<DiscardedLines>());
  auto verdict = without_memory_exhaustion([&] {
    return check_update_would_start(UpdateContext{*logger, *installation, {}},
                                    updater ? *updater : std::string());
  });
  release_logger(std::move(logger));
  return verdict;
}

}  // namespace

int run_check(const std::vector<std::string>& args) {
  if (args.size() != 3) {
    write_stderr(version_line());
    write_stderr("Error: Bad usage: --check <code path>\n");
    return 2;
  }
  const auto verdict = check(args[2]);
  std::string line = verdict ? *verdict : verdict.error().display_text();
  // One line, also where the system's text of an error ends with its own line break.
  while (line.ends_with('\n') || line.ends_with('\r'))
    line.pop_back();
  write_stdout(line + "\n");
  return verdict ? 0 : 1;
}

}  // namespace vellicor
