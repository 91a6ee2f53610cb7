#include "update/installation.hpp"

#include "base/fs.hpp"
#include "base/path.hpp"
#include "base/utf.hpp"
#include "model/uninstall_log.hpp"

namespace vellicor {
namespace {

// The file name of a path as text.
Result<std::string> file_name_text(std::string_view path) {
  auto name = path_file_name(path);
  if (!name) return fail_other("Could not get process file name");
  if (!is_valid_utf8(*name)) return fail_other("Could not get convert file name to str");
  return std::move(*name);
}

}  // namespace

Result<Installation> make_installation(std::string_view code_path,
                                       std::string_view given_code_path) {
  Installation installation;
  installation.code_path = code_path;
  auto name = file_name_text(code_path);
  if (!name) return fail(name.error());
  installation.executable_name = std::move(*name);

  auto root = parent_path(code_path);
  if (!root) return fail_other("Could not get parent path of uninstdat");
  // Everything in the root but the kept entries is deleted: never do that to a whole drive or
  // share.
  if (!parent_path(*root)) {
    return fail_other("Refusing to update an installation at the root of a drive or share: " +
                      *root);
  }
  installation.root = std::move(*root);
  installation.update_folder = join_path(installation.root, kUpdateFolderName);
  installation.uninstall_log = join_path(installation.root, "unins000.dat");
  installation.update_record = join_path(installation.root, kUpdateRecordName);
  installation.auxiliary_path =
      join_path(join_path(join_path(installation.root, "resources"), "extbin"), "adb.exe");
  auto auxiliary_name = file_name_text(installation.auxiliary_path);
  if (!auxiliary_name) return fail(auxiliary_name.error());
  installation.auxiliary_name = std::move(*auxiliary_name);

  installation.update_folder_spellings.push_back(installation.update_folder);
  if (const auto given_root = parent_path(normalize_path(given_code_path))) {
    std::string given = join_path(*given_root, kUpdateFolderName);
    if (given != installation.update_folder) {
      installation.update_folder_spellings.push_back(std::move(given));
    }
  }
  return installation;
}

Result<Installation> resolve_installation(std::string_view given_code_path) {
  auto resolved = resolve_path_as_far_as_it_exists(given_code_path);
  if (!resolved) {
    return fail_other("Could not resolve the code path: " + resolved.error().display_text());
  }
  return make_installation(*resolved, given_code_path);
}

Result<std::vector<DirEntry>> list_own_update_folder(const Installation& installation) {
  const std::string& folder = installation.update_folder;
  auto update = metadata(folder);
  if (!update) return fail(update.error());
  if (!update->is_directory) return fail_other("Update folder is not a directory");
  auto resolved = resolve_path(folder);
  if (!resolved) return fail(resolved.error());
  if (!paths_equal(*resolved, folder)) {
    return fail_other("Update folder is a link to another folder: " + folder + " leads to " +
                      *resolved);
  }
  auto root = metadata(installation.root);
  if (!root) return fail(root.error());
  if (root->volume != update->volume) {
    return fail_other(
        "Update folder is a mount point or on another volume than the installation: " + folder);
  }
  return list_directory(folder);
}

bool is_updater_file(const Installation& installation, std::string_view name) {
  return file_names_equal(name, kUpdateRecordName) ||
         file_names_equal(name, kUpdateRecordTempName) || file_names_equal(name, kMoveProbeName) ||
         file_names_equal(name, kMovedProbeName) ||
         file_names_equal(name,
                          *path_file_name(uninstall_log_temp_path(installation.uninstall_log)));
}

bool is_kept_entry(std::string_view name, PathStyle style) {
  return file_names_equal(name, kUpdateFolderName, style) ||
         file_name_starts_with(name, "unins", style) || file_names_equal(name, "tools", style);
}

bool deleted_by_update(std::string_view root, std::string_view path, PathStyle style) {
  const auto entry = first_name_below(root, path, style);
  return entry && !is_kept_entry(*entry, style) &&
         !file_names_equal(*entry, kUpdateFolderName, style);
}

}  // namespace vellicor
