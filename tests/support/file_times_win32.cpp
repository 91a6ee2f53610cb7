#include "base/win32.hpp"

#include <gtest/gtest.h>

#include "support/file_times.hpp"

namespace vellicor::testing_support {
namespace {

// Folders open only with backup semantics; a link is its own entry.
win32::UniqueHandle open_for(const std::filesystem::path& path, DWORD access) {
  return win32::UniqueHandle(CreateFileW(
      path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

}  // namespace

void copy_last_write_time(const std::filesystem::path& from, const std::filesystem::path& to) {
  const auto source = open_for(from, FILE_READ_ATTRIBUTES);
  const auto target = open_for(to, FILE_WRITE_ATTRIBUTES);
  FILETIME written{};
  const bool copied = source.valid() && target.valid() &&
                      GetFileTime(source.get(), nullptr, nullptr, &written) &&
                      SetFileTime(target.get(), nullptr, nullptr, &written);
  EXPECT_TRUE(copied) << to << ": error " << GetLastError();
}

}  // namespace vellicor::testing_support
