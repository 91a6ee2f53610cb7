#pragma once
// Volumes that decide by themselves whether two names are one file's, for tests that take their
// expectations from the file system instead of from the code under test.

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vellicor::testing_support {

// A folder on a volume that compares names as Windows does: on POSIX a freshly formatted NTFS
// image (mkntfs) mounted with lowntfs-3g -o ignore_case, on Windows a temporary folder of the
// system's. Destroying it unmounts the image, waits for the mount's process to end and removes
// the folders, whatever the test found.
class NameVolume {
 public:
  // Nothing, with the reason in `why_not`, where this machine cannot give one (ntfs-3g missing,
  // FUSE missing or not permitted).
  static std::unique_ptr<NameVolume> create(std::string& why_not);
  virtual ~NameVolume() = default;

  // Whether the volume opens a file created by name `a` when asked for name `b`; nothing when it
  // did not take `a` or answered with another error. Each call uses names of its own.
  virtual std::optional<bool> opens_as_one(const std::string& a, const std::string& b) = 0;
};

// The upper-case table that NTFS writes on a freshly formatted volume ($UpCase, as mkntfs
// writes it and ntfscat reads it back): 65536 units, unit i's upper case. Nothing, with the
// reason in `why_not`, where mkntfs or ntfscat is not installed (always on Windows).
std::optional<std::vector<char16_t>> fresh_ntfs_upcase_table(std::string& why_not);

}  // namespace vellicor::testing_support
