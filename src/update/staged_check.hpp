#pragma once
// The staged version checked against its own uninstall log before the old version goes: every
// file that the installer wrote into the update folder must still be there. The same look at
// the installed version tells whether an installation is whole.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"

namespace vellicor {

class Logger;
struct Installation;

// How much of the staged version to check. A fresh update checks all of it, against the
// uninstall log in the update folder.
struct StagedCheckScope {
  // The staged uninstall log; empty: the update folder's unins000.dat, when it holds one.
  std::string log_path;
  // Whether the files below a top-level entry of the update folder (given by its name) are
  // still to be checked: a resumed update passes over the entries that it has moved in
  // already. Empty: every entry is.
  std::function<bool(std::string_view name)> still_staged;
};

// Reads the staged uninstall log record by record (memory does not grow with it) and requires
// a regular file in the update folder for every file record (0x82) whose path, its first text,
// lies in the update folder by any of its spellings, as the rebase of the uninstall log
// decides it; paths elsewhere and records of other types are not looked at. Logs the number of
// files checked. A log that cannot be read is a warning, and the update goes on. Fails with
// "The staged version is incomplete: " + the number of files missing + the first of them.
[[nodiscard]] Status check_staged_version(Logger& logger, const Installation& installation,
                                          const StagedCheckScope& scope = {});

// Why the installation is not whole by its own uninstall log, the root's unins000.dat, or
// nothing when it is: the log can be read and names files in the root (matched as the rebase
// matches the update folder, by the root's spellings), none of them in the update folder (the
// new version's log moved in before its rewrite: the installation is between two versions),
// each of them is there as a regular file, and so is the application's executable. Completes
// "The installation at <root> is not whole by its uninstall log: ".
std::optional<std::string> why_not_whole(const Installation& installation);

}  // namespace vellicor
