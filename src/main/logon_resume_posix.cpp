#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/durability.hpp"
#include "base/file.hpp"
#include "base/fs.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"
#include "main/logon_resume.hpp"

// The registration is a desktop entry in the user's autostart folder, which desktops that
// follow the freedesktop autostart rules start at every login.

namespace vellicor {
namespace {

constexpr size_t kLongestEntry = 1 << 20;  // ours are a few hundred bytes

// $XDG_CONFIG_HOME/autostart, else ~/.config/autostart. A relative XDG_CONFIG_HOME is invalid
// and ignored, as the base directory rules say.
Result<std::string> autostart_folder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return join_path(config, "autostart");
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    return fail_other("No folder for autostart entries: neither XDG_CONFIG_HOME nor HOME is set");
  }
  return join_path(join_path(home, ".config"), "autostart");
}

std::string entry_name(std::string_view root) {
  return "vellicor-update-" + path_key(root) + ".desktop";
}

// Not a ".desktop" name, so that no desktop ever starts a half-written entry.
std::string temp_path(const std::string& entry) {
  return entry + ".tmp";
}

// The folders that this process made for a registration, outermost first: removing the
// registration removes them again where they are empty, so that an update leaves no folder
// behind that it made only for a registration it took back.
std::vector<std::string>& folders_made() {
  static std::vector<std::string> made;
  return made;
}

// The folder and every missing one above it, private to the user as the configuration
// folders are. Each new folder is flushed into its parent, as the entry is into its folder.
Status make_folders(const std::string& folder) {
  for (size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
    const std::string part = folder.substr(0, end);
    if (::mkdir(part.c_str(), 0700) == 0) {
      folders_made().push_back(part);
      const auto parent = parent_path(part);
      if (auto flushed = parent ? flush_directory(*parent) : Status{}; !flushed) return flushed;
    } else if (errno != EEXIST) {
      return fail(last_os_io_error());
    }
    if (end == std::string::npos) return {};
  }
}

// The folders made for the registration, innermost first, as far as they are empty; each
// removal flushed into its parent.
Status remove_folders_made() {
  auto& made = folders_made();
  Status removed;
  while (!made.empty() && ::rmdir(made.back().c_str()) == 0) {
    const auto parent = parent_path(made.back());
    if (auto flushed = parent ? flush_directory(*parent) : Status{}; !flushed && removed) {
      removed = flushed;
    }
    made.pop_back();
  }
  made.clear();
  return removed;
}

// The file's access control list as the kernel gives it, empty when it has none; nothing when
// it cannot be read.
std::optional<std::string> access_control_list(const std::string& path) {
  std::string acl(256, '\0');
  for (;;) {
    const ssize_t size =
        ::lgetxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size());
    if (size >= 0) {
      acl.resize(static_cast<size_t>(size));
      return acl;
    }
    if (errno == ENODATA || errno == ENOTSUP) return std::string();
    if (errno != ERANGE) return std::nullopt;
    acl.resize(acl.size() * 4);
  }
}

Result<std::optional<std::string>> read_entry(const std::string& path) {
  auto file = File::open_for_reading(path);
  if (!file) {
    if (is_not_found(file.error())) return std::optional<std::string>();
    return fail(file.error());
  }
  auto text = read_small_file(*file, kLongestEntry);
  if (!text) return fail(text.error());
  if (text->size() > kLongestEntry) return fail_other("Not an autostart entry of ours: " + path);
  return std::optional(std::move(*text));
}

Result<std::string> entry_text(const std::vector<std::string>& command) {
  auto exec = desktop_entry_exec(command);
  if (!exec) return fail(exec.error());
  return "[Desktop Entry]\nType=Application\nName=Vellicor update\n"
         "Comment=Finishes an update of Vellicor that was cut short\nExec=" +
         *exec + "\nTerminal=false\nNoDisplay=true\nX-GNOME-Autostart-enabled=true\n";
}

}  // namespace

uint32_t logon_settle_milliseconds() {
  return 0;
}

std::optional<std::string> why_others_could_replace(std::string_view executable) {
  const uid_t user = ::geteuid();
  for (std::optional<std::string> path(executable); path; path = parent_path(*path)) {
    struct stat info {};
    const auto acl = ::lstat(path->c_str(), &info) == 0 ? access_control_list(*path) : std::nullopt;
    if (!acl) {
      return "who may change " + *path + " cannot be told: " + last_os_io_error().display_text();
    }
    if (const auto why =
            why_others_could_change(info.st_mode, info.st_uid, info.st_gid, user, *acl)) {
      return *path + " " + std::string(*why);
    }
  }
  return std::nullopt;
}

std::optional<std::string> why_not_runnable_at_logon(const std::vector<std::string>& command) {
  auto exec = desktop_entry_exec(command);
  if (exec) return std::nullopt;
  return exec.error().display_text();
}

Result<std::string> updater_executable() {
  return resolve_path("/proc/self/exe");
}

Result<std::string> logon_registration_place(std::string_view root) {
  auto folder = autostart_folder();
  if (!folder) return fail(folder.error());
  return join_path(*folder, entry_name(root));
}

Status register_at_logon(std::string_view root, const std::vector<std::string>& command) {
  auto folder = autostart_folder();
  if (!folder) return fail(folder.error());
  const std::string path = join_path(*folder, entry_name(root));
  auto text = entry_text(command);
  if (!text) return fail(text.error());
  auto existing = read_entry(path);
  if (existing && *existing == *text) return {};
  Status registered = make_folders(*folder);
  if (registered) registered = replace_file_durably(path, temp_path(path), *text);
  if (!registered) {
    // A registration reported as failed leaves nothing of its own: not its temporary file, and
    // not the entry where it took its place without reaching the disk.
    (void)remove_file_if_present(temp_path(path));
    auto now = read_entry(path);
    if (now && *now && **now == *text) (void)remove_file_durably(path, temp_path(path));
    (void)remove_folders_made();
  }
  return registered;
}

Result<bool> unregister_at_logon(std::string_view root) {
  auto folder = autostart_folder();
  if (!folder) return fail(folder.error());
  const std::string path = join_path(*folder, entry_name(root));
  auto removed = remove_file_durably(path, temp_path(path));
  if (!removed) return removed;
  if (auto folders = remove_folders_made(); !folders) return fail(folders.error());
  return removed;
}

}  // namespace vellicor
