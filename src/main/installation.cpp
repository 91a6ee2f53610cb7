#include "main/installation.hpp"

#include "base/fs.hpp"
#include "base/path.hpp"
#include "base/utf.hpp"
#include "main/update_state.hpp"

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

namespace {

// The code path as the file system resolves it. An update cut short may have deleted the
// executable already: then its folder is resolved and the file name joined to it.
Result<std::string> resolve_code_path(std::string_view code_path) {
  auto resolved = resolve_path(code_path);
  if (resolved || !update_in_progress_next_to(code_path)) return resolved;
  const std::string plain = normalize_path(code_path);
  const auto folder = parent_path(plain);
  const auto name = path_file_name(plain);
  if (!folder || !name) return resolved;
  auto resolved_folder = resolve_path(*folder);
  if (!resolved_folder) return resolved_folder;
  return join_path(*resolved_folder, *name);
}

}  // namespace

Result<Installation> resolve_installation(std::string_view given_code_path) {
  auto resolved = resolve_code_path(given_code_path);
  if (!resolved) {
    return fail_other("Could not resolve the code path: " + resolved.error().display_text());
  }
  return make_installation(*resolved, given_code_path);
}

}  // namespace vellicor
