#pragma once
// Installation trees for update tests: build one from a list of entries, and read one back as
// a sorted list of entries (directories end with "/", files carry their content).

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "base/fs.hpp"
#include "base/path.hpp"
#include "update/installation.hpp"
#include "support/temp_dir.hpp"

namespace vellicor::testing_support {

// "dir/" makes a folder, "dir/file=content" a file with that content ("" when no "=").
inline void make_tree(const std::filesystem::path& root, const std::vector<std::string>& entries) {
  for (const auto& entry : entries) {
    if (entry.ends_with('/')) {
      std::filesystem::create_directories(root / from_utf8(entry));
      continue;
    }
    const auto equals = entry.find('=');
    const std::string name = entry.substr(0, equals);
    const std::string content = equals == std::string::npos ? "" : entry.substr(equals + 1);
    const auto path = root / from_utf8(name);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }
}

// Every entry below root as "relative/path" (files, with "=content") or "relative/dir/"; links
// as "name -> target" and not followed.
inline std::vector<std::string> read_tree(const std::filesystem::path& root) {
  std::vector<std::string> out;
  for (auto it = std::filesystem::recursive_directory_iterator(root);
       it != std::filesystem::recursive_directory_iterator(); ++it) {
    auto relative = utf8(it->path().lexically_relative(root));
    for (auto& c : relative) {
      if (c == '\\') c = '/';
    }
    if (it->is_symlink()) {
      out.push_back(relative + " -> " + utf8(std::filesystem::read_symlink(it->path())));
    } else if (it->is_directory()) {
      out.push_back(relative + "/");
    } else {
      std::ifstream in(it->path(), std::ios::binary);
      out.push_back(relative + "=" + std::string(std::istreambuf_iterator<char>(in), {}));
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The installation whose executable is root/`executable` (which need not exist yet), with the
// root resolved as an update resolves it; the root must exist.
inline Installation installation_at(const std::filesystem::path& root,
                                    const std::string& executable = "a.exe") {
  const std::string code_path = join_path(resolve_path(utf8(root)).value(), executable);
  return make_installation(code_path, code_path).value();
}

// A test of the update engine over an installation folder of its own, "Vellicor" in a
// temporary folder; the root as the update names it is resolved.
class InstallationTest : public ::testing::Test {
 protected:
  InstallationTest() {
    std::filesystem::create_directories(root_dir());
    root_ = installation_at(root_dir()).root;
  }
  std::filesystem::path root_dir() const { return dir_.path() / "Vellicor"; }
  const std::string& root() const { return root_; }
  std::string at(const std::string& relative) const { return join_path(root(), relative); }

 private:
  TempDir dir_;
  std::string root_;
};

}  // namespace vellicor::testing_support
