#pragma once
// The folder that a benchmark's files live in: $VELLICOR_BENCH_DIR, else /dev/shm when it
// exists (so that a run measures the program rather than the disk), else the temporary
// directory. It is made once, named after the benchmark and the process, and removed at exit.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace bench_support {

inline std::filesystem::path make_bench_dir(const std::string& name) {
  namespace fs = std::filesystem;
  fs::path base = fs::temp_directory_path();
  if (const char* chosen = std::getenv("VELLICOR_BENCH_DIR")) {
    base = chosen;
  } else if (fs::is_directory("/dev/shm")) {
    base = "/dev/shm";
  }
  const fs::path made = base / (name + "-" + std::to_string(getpid()));
  fs::create_directories(made);
  static fs::path remove;
  remove = made;
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(remove, ignored);
  });
  return made;
}

}  // namespace bench_support
