#pragma once
// The folder that a benchmark's files live in: $VELLICOR_BENCH_DIR, else /dev/shm when it
// exists (so that a run measures the program rather than the disk), else the temporary
// directory. It is made once, named after the benchmark and the process, and removed at exit.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace bench_support {

// The folder `name` + the process id below `base`, made now and removed at exit.
inline std::filesystem::path make_dir_removed_at_exit(const std::filesystem::path& base,
                                                      const std::string& name) {
  namespace fs = std::filesystem;
  const fs::path made = base / (name + "-" + std::to_string(getpid()));
  fs::create_directories(made);
  static std::vector<fs::path> removed;
  if (removed.empty()) {
    std::atexit([] {
      std::error_code ignored;
      for (const auto& path : removed)
        fs::remove_all(path, ignored);
    });
  }
  removed.push_back(made);
  return made;
}

inline std::filesystem::path make_bench_dir(const std::string& name) {
  namespace fs = std::filesystem;
  fs::path base = fs::temp_directory_path();
  if (const char* chosen = std::getenv("VELLICOR_BENCH_DIR")) {
    base = chosen;
  } else if (fs::is_directory("/dev/shm")) {
    base = "/dev/shm";
  }
  return make_dir_removed_at_exit(base, name);
}

}  // namespace bench_support
