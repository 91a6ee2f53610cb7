#pragma once
// Last-write times copied from one file or folder to another exactly, as a restore from a
// backup keeps them: the Windows build's std::filesystem reads and sets whole seconds only, and
// sets no folder's time.

#include <filesystem>

namespace vellicor::testing_support {

// Gives `to` the last-write time of `from`; a failure fails the calling test.
void copy_last_write_time(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace vellicor::testing_support
