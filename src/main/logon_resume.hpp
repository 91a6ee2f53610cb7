#pragma once
// Finishing an interrupted update at the user's next logon: the system is asked to start the
// updater again with the same arguments (a value of the user's Run key on Windows, an autostart
// desktop entry on POSIX) from before the first destructive step until the update is over.

#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/path.hpp"

namespace vellicor {

class Logger;
struct Installation;

// Registers the update of `installation` to be finished at the next logon by this updater with
// the arguments as given (element 0 left out) and the option that marks a run at logon; one
// line in the log says so. Registers nothing, and logs why, when the update deletes or moves
// the updater itself; a failure to register is a warning, and the update goes on. Gives
// whether the registration is there.
bool register_resume_at_logon(Logger& logger, const Installation& installation,
                              const std::vector<std::string>& given);

// Removes the registration of the installation whose resolved root is `root`; one line in the
// log says so. A failure is a warning.
void unregister_resume_at_logon(Logger& logger, std::string_view root);

// For a run at logon: true, after the registration was removed, when the installation of
// `code_path` has no update left to finish (neither an update record nor an update folder, or
// no installation at all). Looks at nothing else: the application is neither waited for nor
// killed.
bool nothing_left_at_logon(Logger& logger, std::string_view code_path);

// True when an update of the installation at `root` deletes or moves what lies at `path` (both
// resolved): everything in the root but the kept entries, and everything in the update folder.
bool replaced_by_update(std::string_view root, std::string_view path,
                        PathStyle style = native_path_style());

// The command line that CommandLineToArgvW splits into `args` again: the program (element 0)
// always in quotes, every other argument as it is when it needs no quotes, else quoted with
// its quotes and the backslashes before them escaped.
std::string windows_command_line(const std::vector<std::string>& args);

// The value of a desktop entry's Exec key that runs `args`: every argument in double quotes,
// '"', '`', '$' and '\' escaped inside them, '%' doubled, then the escapes of the entry's
// string values applied ("\\", "\n", "\t", "\r"). Fails for the other control characters,
// which a desktop entry cannot hold.
[[nodiscard]] Result<std::string> desktop_entry_exec(const std::vector<std::string>& args);

// The updater's own executable, resolved (GetModuleFileNameW, /proc/self/exe).
[[nodiscard]] Result<std::string> updater_executable();

// Where the registration for the installation whose resolved root is `root` lives, as the log
// names it: one per installation (path_key of the root).
[[nodiscard]] Result<std::string> logon_registration_place(std::string_view root);

// Has the system run `command` (the executable first) at every logon of this user until
// unregister_at_logon; durable when it returns. A registration that is there already as asked
// is left as it is. Fails when the system would not run the command as given.
[[nodiscard]] Status register_at_logon(std::string_view root,
                                       const std::vector<std::string>& command);

// Removes the registration, durably; false when there was none.
[[nodiscard]] Result<bool> unregister_at_logon(std::string_view root);

}  // namespace vellicor
