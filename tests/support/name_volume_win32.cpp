#include "base/win32.hpp"

#include <string>

#include "support/name_volume.hpp"
#include "support/temp_dir.hpp"

namespace vellicor::testing_support {
namespace {

// A temporary folder of the system's: the system itself (or Wine) decides which name opens
// which file.
class SystemFolder : public NameVolume {
 public:
  std::optional<bool> opens_as_one(const std::string& a, const std::string& b) override {
    const std::string prefix = std::to_string(++calls_) + "-";
    const auto created_name = win32::to_wide(folder_.at(prefix + a));
    const auto asked_name = win32::to_wide(folder_.at(prefix + b));
    if (!created_name || !asked_name) return std::nullopt;
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE created = CreateFileW(created_name->c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created == INVALID_HANDLE_VALUE) return std::nullopt;
    CloseHandle(created);
    std::optional<bool> answer;
    const HANDLE opened = CreateFileW(asked_name->c_str(), GENERIC_READ, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened != INVALID_HANDLE_VALUE) {
      answer = true;
      CloseHandle(opened);
    } else if (GetLastError() == ERROR_FILE_NOT_FOUND) {
      answer = false;
    }
    DeleteFileW(created_name->c_str());
    return answer;
  }

 private:
  TempDir folder_;
  int calls_ = 0;
};

}  // namespace

std::unique_ptr<NameVolume> NameVolume::create(std::string&) {
  return std::make_unique<SystemFolder>();
}

std::optional<std::vector<char16_t>> fresh_ntfs_upcase_table(std::string& why_not) {
  why_not = "mkntfs and ntfscat (ntfs-3g) do not run on Windows";
  return std::nullopt;
}

}  // namespace vellicor::testing_support
