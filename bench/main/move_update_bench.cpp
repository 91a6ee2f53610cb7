// Replacing an installation of 20,000 files in 2,000 folders with move_update, against what
// the shell does for the same job: rm -rf of the old entries and mv of the new ones.
//
// The trees live in $VELLICOR_BENCH_DIR, else /dev/shm when it exists, else the temporary
// directory, so that both sides work on the same file system.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "logging/logger.hpp"
#include "main/move_update.hpp"

namespace {

namespace fs = std::filesystem;
using namespace vellicor;

constexpr int kTopLevel = 20;
constexpr int kPerTopLevel = 100;  // 20 * 100 = 2,000 folders
constexpr int kFilesPerFolder = 10;

fs::path bench_dir() {
  static const fs::path dir = [] {
    fs::path base = fs::temp_directory_path();
    if (const char* chosen = std::getenv("VELLICOR_BENCH_DIR")) {
      base = chosen;
    } else if (fs::is_directory("/dev/shm")) {
      base = "/dev/shm";
    }
    const fs::path made = base / ("vellicor-move-bench-" + std::to_string(getpid()));
    fs::create_directories(made);
    static const fs::path remove = made;
    atexit([] {
      std::error_code ignored;
      fs::remove_all(remove, ignored);
    });
    return made;
  }();
  return dir;
}

std::string top_name(int i) {
  return "part" + std::to_string(i);
}

// The version's files below `base`: 2,000 folders of 10 small files each.
void make_version(const fs::path& base, const std::string& content) {
  for (int t = 0; t < kTopLevel; ++t) {
    for (int s = 0; s < kPerTopLevel; ++s) {
      const fs::path folder = base / top_name(t) / ("folder" + std::to_string(s));
      fs::create_directories(folder);
      for (int f = 0; f < kFilesPerFolder; ++f) {
        std::ofstream(folder / ("file" + std::to_string(f) + ".dat")) << content;
      }
    }
  }
}

// An installation with its old version, its uninstall log and the new version staged in "_".
fs::path make_installation() {
  const fs::path root = bench_dir() / "Vellicor";
  fs::remove_all(root);
  make_version(root, "old version");
  make_version(root / "_", "new version");
  std::ofstream(root / "unins000.dat") << "log";
  return root;
}

void BM_MoveUpdate(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path root = make_installation();
    state.ResumeTiming();
    auto sink = create_log_file((bench_dir() / "move_update.log").string());
    if (!sink) abort();
    auto logger = create_logger(std::move(*sink));
    if (!move_update(*logger, (root / "unins000.dat").string(), "_")) abort();
    release_logger(std::move(logger));
  }
}

void BM_RemoveAndMove(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path root = make_installation();
    std::string command = "cd '" + root.string() + "' && rm -rf";
    for (int t = 0; t < kTopLevel; ++t)
      command += " " + top_name(t);
    command += " && mv _/* . && rmdir _";
    state.ResumeTiming();
    if (std::system(command.c_str()) != 0) abort();
  }
}

BENCHMARK(BM_MoveUpdate)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_RemoveAndMove)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
