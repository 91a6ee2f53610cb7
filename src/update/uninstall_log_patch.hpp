#pragma once
// The last step of an update: the uninstall log rewritten so that it names the files at their
// new places.

#include "base/error.hpp"

namespace vellicor {

class Logger;
struct Installation;

// Reads the uninstall log record by record, moves every path under the update folder (in each
// of its spellings) to the root, and writes it into a new file that replaces it. Logs the
// header, the record count and "Updating uninstall file " + path.
[[nodiscard]] Status patch_uninst_dat(Logger& logger, const Installation& installation);

// Whether a patch that failed with `error` may succeed when it is tried again later: a failure
// of the file system underneath (a full disk, a file that another program holds, a flush that
// failed) may pass; a log that is not there, or whose bytes are not a log the patch can read,
// stays so.
bool patch_may_succeed_later(const Error& error);

}  // namespace vellicor
