#include <gtest/gtest.h>

#include "support/file_times.hpp"

namespace vellicor::testing_support {

// libstdc++ keeps nanoseconds here, and sets them with utimensat.
void copy_last_write_time(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::error_code failed;
  std::filesystem::last_write_time(to, std::filesystem::last_write_time(from), failed);
  EXPECT_FALSE(failed) << to << ": " << failed.message();
}

}  // namespace vellicor::testing_support
