#pragma once
// Finishing an interrupted update at the user's next logon: the system is asked to start the
// updater again with the same arguments (a value of the user's Run key on Windows, an autostart
// desktop entry on POSIX) from before the first destructive step until the update is over.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/path.hpp"

namespace vellicor {

class Logger;
struct Installation;

// Registers the update of `installation` to be finished at the next logon by this updater with
// the arguments as given (element 0 left out), the code path resolved, and the option that
// marks a run at logon; one line in the log says so. Registers nothing, and logs why in one
// INFO line, when the update deletes or moves the updater itself, when other users could put
// another program where the updater lies (why_others_could_replace), or when the system would
// not run the command as it is (why_not_runnable_at_logon); a failure to register is a
// warning, and the update goes on. Gives whether the registration is there.
bool register_resume_at_logon(Logger& logger, const Installation& installation,
                              const std::vector<std::string>& given);

// Removes the registration of the installation whose resolved root is `root`; one line in the
// log says so. A failure is a warning.
void unregister_resume_at_logon(Logger& logger, std::string_view root);

// The same for a run at logon that started at `started` (steady_microseconds): not before the
// logon has started every program that it runs (logon_settle_milliseconds after `started`).
void unregister_after_logon(Logger& logger, std::string_view root, uint64_t started);

// How long a run at logon leaves the system's list of what to run at logon alone. Microsoft
// asks a program that the Run key starts not to write to the key during its execution, which
// would disturb the start of the others; the update must take its value back all the same, so it
// waits until the logon has started them, which takes far less than the 30 s that this waits.
// An autostart folder has no such rule.
uint32_t logon_settle_milliseconds();

// Why another user could put a program of theirs where the updater at `executable` (resolved)
// lies, to be run at this user's next logon ("<folder> may be written by others"), or nothing
// when no one but this user (and the system) can. POSIX: the file or a folder above it belongs
// to another user, or can be written by others, by a group other than root's, or by another
// user or group that its access control list names (a sticky folder too: once the updater is
// gone, anyone may put a file of that name there). Windows: it lies in the user's temporary
// folder ("it lies in the temporary folder <folder>"), which every program of the user fills and
// cleans.
std::optional<std::string> why_others_could_replace(std::string_view executable);

// The POSIX rule for one file or folder on that way, from its mode bits, owner, group and access
// control list (its system.posix_acl_access attribute as the kernel gives it; empty where it has
// none): why users but `user` and root could change it ("belongs to another user", "may be
// written by others", "may be written by others through its access control list", "has an
// access control list that cannot be read"), or nothing.
std::optional<std::string_view> why_others_could_change(uint32_t mode, uint32_t owner,
                                                        uint32_t group, uint32_t user,
                                                        std::string_view acl = {});

// Why the system would not run `command` at logon as it is, or nothing: Windows runs no command
// of more than 260 characters from the Run key; a desktop entry cannot hold what
// desktop_entry_exec refuses.
std::optional<std::string> why_not_runnable_at_logon(const std::vector<std::string>& command);

// True when an update of the installation at `root` deletes or moves what lies at `path` (both
// resolved): everything in the root but the kept entries, and everything in the update folder.
bool replaced_by_update(std::string_view root, std::string_view path,
                        PathStyle style = native_path_style());

// The command line that CommandLineToArgvW splits into `args` again: the program (element 0)
// always in quotes, every other argument as it is when it needs no quotes, else quoted with
// its quotes and the backslashes before them escaped.
std::string windows_command_line(const std::vector<std::string>& args);

// The value of a desktop entry's Exec key that runs `args`: every argument in double quotes,
// '"' escaped inside them, '%' doubled, then the escapes of the entry's string values applied
// ("\\", "\n", "\t", "\r"). Fails where the desktops that start autostart entries would run
// something else: for a backslash, which GLib and systemd's autostart generator read
// differently however it is escaped; for '$' and '`', which the format escapes and systemd's
// generator does not unescape; for a '%' in the program's path, which both look for before they
// undo the "%%"; for a '=' there, which the format forbids in it; and for the other control
// characters, which a desktop entry cannot hold.
[[nodiscard]] Result<std::string> desktop_entry_exec(const std::vector<std::string>& args);

// The updater's own executable, resolved (GetModuleFileNameW, /proc/self/exe).
[[nodiscard]] Result<std::string> updater_executable();

// Where the registration for the installation whose resolved root is `root` lives, as the log
// names it: one per installation (path_key of the root).
[[nodiscard]] Result<std::string> logon_registration_place(std::string_view root);

// Has the system run `command` (the executable first) at every logon of this user until
// unregister_at_logon; durable when it returns. A registration that is there already as asked
// is left as it is. Fails when the system would not run the command as given, or when the
// registration cannot be written whole and on the disk; then nothing of it is left (no entry
// or value that it wrote, no temporary file, no folder made for it).
[[nodiscard]] Status register_at_logon(std::string_view root,
                                       const std::vector<std::string>& command);

// Removes the registration, durably, with a leftover temporary file of an earlier one and the
// folders made for it; false when there was none.
[[nodiscard]] Result<bool> unregister_at_logon(std::string_view root);

}  // namespace vellicor
