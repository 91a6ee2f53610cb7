#pragma once
// The entry point: runs the mode that the arguments choose and gives the exit code.

#include <string>
#include <vector>

namespace vellicor {

int run_entry_point(const std::vector<std::string>& args);

}  // namespace vellicor
