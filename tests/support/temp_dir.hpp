#pragma once
// A fresh temporary folder for one test, removed with everything in it afterwards.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

namespace vellicor::testing_support {

inline std::string utf8(const std::filesystem::path& path) {
  const auto text = path.u8string();
  return std::string(text.begin(), text.end());
}

inline std::filesystem::path from_utf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("vellicor-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return utf8(path_); }
  // The UTF-8 path of a relative entry inside the folder.
  std::string at(const std::string& relative) const { return utf8(path_ / from_utf8(relative)); }

  void write_file(const std::string& relative, const std::string& content = "") const {
    const auto full = path_ / from_utf8(relative);
    std::filesystem::create_directories(full.parent_path());
    std::ofstream(full, std::ios::binary) << content;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace vellicor::testing_support
