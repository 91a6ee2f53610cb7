#include "main/logon_resume.hpp"

#include <algorithm>
#include <optional>

#include "base/fs.hpp"
#include "base/os_error.hpp"
#include "base/utf.hpp"
#include "logging/logger.hpp"
#include "main/command_line.hpp"
#include "update/installation.hpp"
#include "update/update_record.hpp"

namespace vellicor {
namespace {

constexpr std::string_view kPurpose = "to finish the update at the next logon";

std::string with_purpose(std::string_view before, std::string_view after) {
  return std::string(before) + std::string(kPurpose) + std::string(after);
}

// The command that the system runs at logon: this updater with the arguments as given, marked
// as a run at logon.
Status register_command(std::string_view root, const std::string& executable,
                        const std::vector<std::string>& given) {
  std::vector<std::string> command{executable};
  command.insert(command.end(), given.begin(), given.end());
  if (std::find(given.begin(), given.end(), kAtLogonOption) == given.end()) {
    command.emplace_back(kAtLogonOption);
  }
  return register_at_logon(root, command);
}

bool missing(const std::string& path) {
  const auto found = metadata(path);
  return !found && is_not_found(found.error());
}

// The root that a registration for `code_path` was named after, as far as it can still be
// resolved: the installation's, else its folder's.
std::optional<std::string> registered_root(std::string_view code_path) {
  if (auto installation = resolve_installation(code_path)) return installation->root;
  auto plain = parent_path(normalize_path(code_path));
  if (!plain) return std::nullopt;
  auto resolved = resolve_path(*plain);
  return resolved ? *resolved : *plain;
}

// CommandLineToArgvW's rules: backslashes are plain except before a quote, where each pair
// gives one backslash and an odd one makes the quote a plain character.
void append_argument(std::string& line, std::string_view arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string_view::npos) {
    line += arg;
    return;
  }
  line.push_back('"');
  size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    line.push_back(c);
  }
  // They stand before the closing quote.
  line.append(backslashes * 2, '\\');
  line.push_back('"');
}

}  // namespace

bool register_resume_at_logon(Logger& logger, const Installation& installation,
                              const std::vector<std::string>& given) {
  auto executable = updater_executable();
  if (executable && replaced_by_update(installation.root, *executable)) {
    log_info(logger, with_purpose("Not registering ",
                                  ": the update replaces the updater itself, " + *executable));
    return false;
  }
  auto place = logon_registration_place(installation.root);
  Status registered = !executable ? fail(executable.error())
                      : !place    ? fail(place.error())
                                  : register_command(installation.root, *executable, given);
  if (!registered) {
    // The session still waits for the update, and a rerun still finishes it.
    log_warning(logger,
                with_purpose("Could not register ", ": " + registered.error().display_text()));
    return false;
  }
  log_info(logger, with_purpose("Registered ", ": " + *place));
  return true;
}

void unregister_resume_at_logon(Logger& logger, std::string_view root) {
  auto place = logon_registration_place(root);
  auto removed = place ? unregister_at_logon(root) : Result<bool>(fail(place.error()));
  if (!removed) {
    log_warning(logger, with_purpose("Could not remove the registration ",
                                     ": " + removed.error().display_text()));
  } else if (*removed) {
    log_info(logger, with_purpose("Removed the registration ", ": " + *place));
  }
}

bool nothing_left_at_logon(Logger& logger, std::string_view code_path) {
  if (!is_absolute_path(code_path)) return false;
  const auto root = registered_root(code_path);
  if (!root || !missing(join_path(*root, kUpdateRecordName)) ||
      !missing(join_path(*root, kUpdateFolderName))) {
    return false;
  }
  log_info(logger, "Started at logon with no update left to finish in " + *root);
  unregister_resume_at_logon(logger, *root);
  return true;
}

bool replaced_by_update(std::string_view root, std::string_view path, PathStyle style) {
  const auto entry = first_name_below(root, path, style);
  if (!entry) return false;
  // The update folder is kept only to be emptied into the root.
  if (file_names_equal(*entry, kUpdateFolderName, style)) return true;
  return !is_kept_entry(*entry, style);
}

std::string windows_command_line(const std::vector<std::string>& args) {
  std::string line;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i == 0) {
      // The program's name ends at the next quote, whatever backslashes stand before it, and
      // a Windows path holds no quote.
      line += "\"" + args[0] + "\"";
    } else {
      line.push_back(' ');
      append_argument(line, args[i]);
    }
  }
  return line;
}

Result<std::string> desktop_entry_exec(const std::vector<std::string>& args) {
  std::string exec;
  for (const auto& arg : args) {
    // Readers take a desktop entry that is not UTF-8 for no entry at all.
    if (!is_valid_utf8(arg)) {
      return fail_other("A desktop entry cannot hold an argument that is not UTF-8 text");
    }
    if (!exec.empty()) exec.push_back(' ');
    exec.push_back('"');
    for (const char c : arg) {
      switch (c) {
        case '"':
        case '`':
        case '$':
          exec += "\\\\";  // the quoting's backslash, itself escaped as a string value's
          exec.push_back(c);
          break;
        case '\\':
          exec += "\\\\\\\\";
          break;
        case '%':
          exec += "%%";  // a single one would start a field code
          break;
        case '\n':
          exec += "\\n";
          break;
        case '\t':
          exec += "\\t";
          break;
        case '\r':
          exec += "\\r";
          break;
        default:
          if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return fail_other("A desktop entry cannot hold an argument with control characters");
          }
          exec.push_back(c);
      }
    }
    exec.push_back('"');
  }
  return exec;
}

}  // namespace vellicor
