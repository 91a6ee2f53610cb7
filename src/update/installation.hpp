#pragma once
// The installation that one update works on: every path of it, derived once from the code path
// as the file system resolves it, so that no spelling of the path ("..", links, letter case)
// can make the update work on another folder than the one that holds the application.

#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/fs.hpp"
#include "base/path.hpp"

namespace vellicor {

// The name of the update folder inside the installation root.
inline constexpr std::string_view kUpdateFolderName = "_";

// The record of an update in progress in the root, and the temporary file that replaces it
// atomically (update_record).
inline constexpr std::string_view kUpdateRecordName = ".vellicor-update";
inline constexpr std::string_view kUpdateRecordTempName = ".vellicor-update.tmp";

// The folder that tries out a folder's rename on a volume this program does not know
// (check_folder_moves), and its name once renamed.
inline constexpr std::string_view kMoveProbeName = ".vellicor-update.probe";
inline constexpr std::string_view kMovedProbeName = ".vellicor-update.probe-moved";

struct Installation {
  std::string code_path;        // the application's executable, resolved
  std::string executable_name;  // its file name, e.g. Vellicor.exe
  std::string root;             // the folder that holds it
  std::string update_folder;    // root joined with "_"
  std::string uninstall_log;    // root joined with "unins000.dat"
  std::string update_record;    // root joined with ".vellicor-update"
  std::string auxiliary_path;   // root joined with resources, extbin, adb.exe
  std::string auxiliary_name;   // its file name, adb.exe
  // The update folder as the uninstall log may spell it: resolved, and as the caller spelled
  // the code path ("." and ".." applied, separators made plain) when that differs.
  std::vector<std::string> update_folder_spellings;
};

// Derives the installation from the resolved code path; `given_code_path` is the caller's own
// spelling. Fails with "Could not get process file name" (no file name), "Could not get convert
// file name to str" (a file name that is not text), "Could not get parent path of uninstdat"
// (no parent) or, when the root would be a drive's or share's root, whose contents the update
// would delete, "Refusing to update an installation at the root of a drive or share: " + root.
[[nodiscard]] Result<Installation> make_installation(std::string_view code_path,
                                                     std::string_view given_code_path);

// Resolves the code path as far as it exists (resolve_path_as_far_as_it_exists) and derives the
// installation from it: the one value that the update, the registration at logon and a run at
// logon all work with, whatever is left of the installation (an update cut short may have
// deleted the executable, an uninstall the whole folder). Fails when the path cannot be
// resolved ("Could not resolve the code path: " + the error) or as make_installation fails.
[[nodiscard]] Result<Installation> resolve_installation(std::string_view given_code_path);

// The updater's own files in the root while it works: the update record and its temporary file,
// the temporary file of the uninstall log's rewrite and the folders of the rename probe. They
// belong to neither version.
bool is_updater_file(const Installation& installation, std::string_view name);

// The entries of the update folder, which must be the installation's own folder: its contents
// are moved into the root and the folder is then removed, so through a link, a junction or a
// mount the update would empty whatever folder it leads to. Fails with the I/O error of a
// missing folder, "Update folder is not a directory", "Update folder is a link to another
// folder: " + folder + " leads to " + target, or "Update folder is a mount point or on another
// volume than the installation: " + folder.
[[nodiscard]] Result<std::vector<DirEntry>> list_own_update_folder(
    const Installation& installation);

// True for the entries of the installation root that survive an update: the update folder
// itself, every name that begins with "unins" and "tools", compared as the file system
// compares names (on Windows without regard to letter case).
bool is_kept_entry(std::string_view name, PathStyle style = native_path_style());

// Whether `path` lies in what an update of the installation at `root` deletes: below the root,
// in an entry that is neither kept nor the update folder.
bool deleted_by_update(std::string_view root, std::string_view path,
                       PathStyle style = native_path_style());

}  // namespace vellicor
