#include "main/logon_resume.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "base/clock.hpp"
#include "base/fs.hpp"
#include "base/os_error.hpp"
#include "base/sleep.hpp"
#include "base/utf.hpp"
#include "logging/logger.hpp"
#include "main/command_line.hpp"
#include "update/installation.hpp"

namespace vellicor {
namespace {

constexpr std::string_view kPurpose = "to finish the update at the next logon";

std::string with_purpose(std::string_view before, std::string_view after) {
  return std::string(before) + std::string(kPurpose) + std::string(after);
}

// The command that the system runs at logon: this updater with the arguments as given, the
// code path resolved (so that the run at logon works on this installation, and removes the
// registration of this key, whatever becomes of a link on the way), marked as a run at logon.
std::vector<std::string> logon_command(const Installation& installation,
                                       const std::string& executable,
                                       const std::vector<std::string>& given) {
  std::vector<std::string> command{executable};
  command.insert(command.end(), given.begin(), given.end());
  const auto code_path = std::find_if(command.begin() + 1, command.end(),
                                      [](const std::string& arg) { return !arg.starts_with("--"); });
  if (code_path != command.end()) *code_path = installation.code_path;
  if (std::find(given.begin(), given.end(), kAtLogonOption) == given.end()) {
    command.emplace_back(kAtLogonOption);
  }
  return command;
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
  if (const auto exposed = executable ? why_others_could_replace(*executable) : std::nullopt) {
    log_info(logger, with_purpose("Not registering ", ": others could replace the updater " +
                                                          *executable + ": " + *exposed));
    return false;
  }
  if (executable) {
    const auto command = logon_command(installation, *executable, given);
    if (const auto unrunnable = why_not_runnable_at_logon(command)) {
      log_info(logger, with_purpose("Not registering ", ": " + *unrunnable));
      return false;
    }
  }
  auto place = logon_registration_place(installation.root);
  Status registered =
      !executable ? fail(executable.error())
      : !place    ? fail(place.error())
                  : register_at_logon(installation.root,
                                      logon_command(installation, *executable, given));
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

void unregister_after_logon(Logger& logger, std::string_view root, uint64_t started) {
  const uint64_t settled = started + uint64_t{logon_settle_milliseconds()} * 1000;
  if (const uint64_t now = steady_microseconds(); now < settled) {
    const auto wait = static_cast<uint32_t>((settled - now + 999) / 1000);
    log_info(logger, "Waiting " + std::to_string((wait + 999) / 1000) +
                         " s for the logon to start its programs before the registration goes");
    sleep_milliseconds(wait);
  }
  unregister_resume_at_logon(logger, root);
}

bool replaced_by_update(std::string_view root, std::string_view path, PathStyle style) {
  if (deleted_by_update(root, path, style)) return true;
  // The update folder is kept only to be emptied into the root.
  const auto entry = first_name_below(root, path, style);
  return entry && file_names_equal(*entry, kUpdateFolderName, style);
}

namespace {

// An access control list as the kernel gives its system.posix_acl_access attribute: a version
// (2), then entries of a tag, permissions and an id, each little-endian.
constexpr uint32_t kAclVersion = 2;
constexpr size_t kAclHeaderSize = 4, kAclEntrySize = 8;
constexpr uint16_t kAclUser = 0x02, kAclGroupObject = 0x04, kAclGroup = 0x08, kAclMask = 0x10;
constexpr uint16_t kWrite = 2;

uint32_t little_endian(std::string_view bytes, size_t at, size_t size) {
  uint32_t value = 0;
  for (size_t i = size; i-- > 0;)
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// Whose write the list grants, as far as its mask lets it: users other than `user` and root,
// groups other than root's (the owning group, `group`, among them).
std::optional<std::string_view> why_list_lets_others_write(std::string_view acl, uint32_t group,
                                                           uint32_t user) {
  if (acl.size() < kAclHeaderSize || (acl.size() - kAclHeaderSize) % kAclEntrySize != 0 ||
      little_endian(acl, 0, 4) != kAclVersion) {
    return "has an access control list that cannot be read";
  }
  uint16_t mask = 7;
  for (size_t at = kAclHeaderSize; at < acl.size(); at += kAclEntrySize) {
    if (little_endian(acl, at, 2) == kAclMask) mask = little_endian(acl, at + 2, 2);
  }
  for (size_t at = kAclHeaderSize; at < acl.size(); at += kAclEntrySize) {
    const uint32_t tag = little_endian(acl, at, 2);
    const uint32_t id = tag == kAclGroupObject ? group : little_endian(acl, at + 4, 4);
    if (!(little_endian(acl, at + 2, 2) & mask & kWrite) || id == 0) continue;
    if ((tag == kAclUser && id != user) || tag == kAclGroup || tag == kAclGroupObject) {
      return "may be written by others through its access control list";
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string_view> why_others_could_change(uint32_t mode, uint32_t owner,
                                                        uint32_t group, uint32_t user,
                                                        std::string_view acl) {
  constexpr uint32_t kGroupWrite = 0020, kOthersWrite = 0002;
  if (owner != 0 && owner != user) return "belongs to another user";
  if (mode & kOthersWrite) return "may be written by others";
  // With a list, the mode's group bits are its mask: the list's entries tell who may write.
  if (!acl.empty()) return why_list_lets_others_write(acl, group, user);
  // A group may hold other users; root's holds only the system's.
  if ((mode & kGroupWrite) && group != 0) return "may be written by others";
  return std::nullopt;
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
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // Readers take a desktop entry that is not UTF-8 for no entry at all.
    if (!is_valid_utf8(arg)) {
      return fail_other("A desktop entry cannot hold an argument that is not UTF-8 text");
    }
    // GLib gives "\\\\" in quotes as one backslash, systemd's generator refuses the entry;
    // no spelling of a backslash gives both the same argument.
    if (arg.find('\\') != std::string::npos) {
      return fail_other(
          "A desktop entry cannot hold a backslash, which desktops read "
          "differently: " +
          arg);
    }
    // Escaped as the format says, but systemd's autostart generator does not undo the escapes.
    if (arg.find_first_of("$`") != std::string::npos) {
      return fail_other(
          "A desktop entry cannot hold a $ or a `, which desktops read differently: " + arg);
    }
    if (i == 0 && arg.find('%') != std::string::npos) {
      return fail_other(
          "A desktop entry cannot start a program whose path holds a %, which "
          "desktops look for before they undo its escape: " +
          arg);
    }
    if (i == 0 && arg.find('=') != std::string::npos) {
      return fail_other(
          "A desktop entry cannot start a program whose path holds a =, which the format "
          "forbids there: " +
          arg);
    }
    if (i > 0) exec.push_back(' ');
    exec.push_back('"');
    for (const char c : arg) {
      switch (c) {
        case '"':
          exec += "\\\\";  // the quoting's backslash, itself escaped as a string value's
          exec.push_back(c);
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
