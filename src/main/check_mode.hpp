#pragma once
// The "--check <code path>" mode: whether an update of the installation would start, asked by
// the application while it still runs, before it offers to restart.

#include <string>
#include <vector>

namespace vellicor {

// Resolves and validates the code path as an update does and runs the update's checks that
// need neither the installation's lock nor the application to have exited; touches nothing (no
// file, no log, no registration, no window). Prints one line to standard output: "ok: ..." and
// gives 0 when an update would start, or the error that the update would show and gives 1. A
// count of arguments other than "--check" and the code path prints the usage to standard error
// and gives 2.
int run_check(const std::vector<std::string>& args);

}  // namespace vellicor
