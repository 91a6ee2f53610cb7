#pragma once
// The "--parse" mode: the report of an uninstall log's header and record counts.

#include <string_view>

namespace vellicor {

// Prints the header line and one "Records 0x<type> <count>" line per record type present to
// standard output and gives 0, or prints the read error to standard error and gives 1.
int dump_uninstall_log(std::string_view path);

}  // namespace vellicor
