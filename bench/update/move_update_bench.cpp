// Replacing an installation of 20,000 files in 2,000 folders with move_update, against the bare
// system calls of its approach and against what the shell does for the same job: rm -rf of the
// old entries and mv of the new ones. Making a staged version of that size durable, against one
// sync. And the whole update, the program itself, of an installation of N and of 4N top-level
// files: its time must grow with the number of entries, not with its square.
//
// The trees live in $VELLICOR_BENCH_DIR, else /dev/shm when it exists, else the temporary
// directory, so that both sides work on the same file system; those that must reach a disk live
// next to the program.
//
// move_update holds a descriptor for every old file at once. Where the process may not have
// that many (a hard limit of 20,000 descriptors, say), the last folders get fewer files so that
// the installation fits; the "files" counter tells how many there were.

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/durability.hpp"
#include "base/file.hpp"
#include "base/fs.hpp"
#include "logging/logger.hpp"
#include "support/bench_dir.hpp"
#include "support/run_process.hpp"
#include "update/do_update.hpp"
#include "update/installation.hpp"

namespace {

namespace fs = std::filesystem;
using namespace vellicor;

constexpr int kTopLevel = 20;
constexpr int kPerTopLevel = 100;  // 20 * 100 = 2,000 folders
constexpr int kFilesPerFolder = 10;

fs::path bench_dir() {
  static const fs::path dir = bench_support::make_bench_dir("vellicor-move-bench");
  return dir;
}

std::string top_name(int i) {
  return "part" + std::to_string(i);
}

// 20,000 files, or as many as the descriptor limit leaves room for.
int file_count() {
  int count = kTopLevel * kPerTopLevel * kFilesPerFolder;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_max != RLIM_INFINITY) {
    count = std::min<int>(count, static_cast<int>(limit.rlim_max) - 256);
  }
  return count;
}

// The version's files below `base`: 2,000 folders of 10 small files each (fewer in the last
// ones when the descriptor limit asks for it).
void make_version(const fs::path& base, const std::string& content) {
  int left = file_count();
  for (int t = 0; t < kTopLevel; ++t) {
    for (int s = 0; s < kPerTopLevel; ++s) {
      const fs::path folder = base / top_name(t) / ("folder" + std::to_string(s));
      fs::create_directories(folder);
      for (int f = 0; f < kFilesPerFolder && left > 0; ++f, --left) {
        std::ofstream(folder / ("file" + std::to_string(f) + ".dat")) << content;
      }
    }
  }
}

// An installation with its old version, its uninstall log and the new version staged in "_".
fs::path make_installation_tree() {
  const fs::path root = bench_dir() / "Vellicor";
  fs::remove_all(root);
  make_version(root, "old version");
  make_version(root / "_", "new version");
  std::ofstream(root / "_" / "Vellicor.exe") << "new version";
  std::ofstream(root / "unins000.dat") << "log";
  return root;
}

void BM_MoveUpdate(benchmark::State& state) {
  // As the program does as it starts: every old file is held at once.
  raise_open_file_limit();
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path root = make_installation_tree();
    state.ResumeTiming();
    auto sink = create_log_file((bench_dir() / "move_update.log").string());
    if (!sink) abort();
    auto logger = create_logger(std::move(*sink));
    const std::string code_path = (root / "Vellicor.exe").string();
    auto installation = make_installation(code_path, code_path);
    if (!installation || !move_update(*logger, *installation)) abort();
    release_logger(std::move(logger));
  }
  state.counters["files"] = file_count();
}

void BM_RemoveAndMove(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path root = make_installation_tree();
    std::string command = "cd '" + root.string() + "' && rm -rf";
    for (int t = 0; t < kTopLevel; ++t)
      command.append(" ").append(top_name(t));
    command += " && mv _/* . && rmdir _";
    state.ResumeTiming();
    if (std::system(command.c_str()) != 0) abort();
  }
  state.counters["files"] = file_count();
}

// The bare system calls of the same replacement when every old file is held exclusively before
// any is deleted, with nothing else around them: a listing of each folder, an open and a write
// lease per file, then per file the check that its name still holds it, the unlink and the
// close; the emptied folders removed, the new entries renamed into place. This is the floor of
// the approach, to tell its own cost from move_update's.
struct HeldFile {
  std::string path;
  int fd;
};

void hold_tree(const std::string& folder, std::vector<HeldFile>& files,
               std::vector<std::string>& folders) {
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) abort();
  std::vector<std::string> below;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = folder + "/" + name;
    if (entry->d_type == DT_DIR) {
      below.push_back(path);
    } else {
      const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
      if (fd < 0 || fcntl(fd, F_SETLEASE, F_WRLCK) != 0) abort();
      files.push_back({path, fd});
    }
  }
  closedir(listing);
  for (const auto& path : below) {
    folders.push_back(path);
    hold_tree(path, files, folders);
  }
}

void BM_RequiredCalls(benchmark::State& state) {
  signal(SIGIO, SIG_IGN);
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path root = make_installation_tree();
    std::vector<HeldFile> files;
    std::vector<std::string> folders;
    files.reserve(static_cast<size_t>(file_count()));
    state.ResumeTiming();
    for (int t = 0; t < kTopLevel; ++t) {
      const std::string top = (root / top_name(t)).string();
      folders.push_back(top);
      hold_tree(top, files, folders);
    }
    for (const auto& file : files) {
      struct stat held {
      }, named{};
      if (fstat(file.fd, &held) != 0 || lstat(file.path.c_str(), &named) != 0 ||
          held.st_ino != named.st_ino || unlink(file.path.c_str()) != 0 || close(file.fd) != 0) {
        abort();
      }
    }
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
      if (rmdir(folder->c_str()) != 0) abort();
    }
    for (int t = 0; t < kTopLevel; ++t) {
      if (rename((root / "_" / top_name(t)).c_str(), (root / top_name(t)).c_str()) != 0) abort();
    }
    if (rename((root / "_" / "Vellicor.exe").c_str(), (root / "Vellicor.exe").c_str()) != 0) {
      abort();
    }
    if (rmdir((root / "_").c_str()) != 0) abort();
  }
  state.counters["files"] = file_count();
}

// Making a freshly written staged version durable before the first delete, against one sync of
// the same freshly written data: on a disk, not in memory, so in a folder next to the benchmark
// program ($VELLICOR_DISK_BENCH_DIR chooses another). Each run writes the version anew after
// syncing away what the last one left, so that only the new version's data waits to be written.
fs::path disk_bench_dir() {
  static const fs::path dir = [] {
    fs::path base = fs::read_symlink("/proc/self/exe").parent_path();
    if (const char* chosen = std::getenv("VELLICOR_DISK_BENCH_DIR")) base = chosen;
    return bench_support::make_dir_removed_at_exit(base, "vellicor-durable-bench");
  }();
  return dir;
}

fs::path fresh_staged_version() {
  const fs::path staged = disk_bench_dir() / "_";
  fs::remove_all(staged);
  sync();
  make_version(staged, std::string(2048, 'n'));
  return staged;
}

void BM_WriteStagedVersionToDisk(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path staged = fresh_staged_version();
    state.ResumeTiming();
    if (!write_to_device(staged.string())) abort();
  }
  state.counters["files"] = file_count();
}

void BM_SyncOfFreshData(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    fresh_staged_version();
    state.ResumeTiming();
    sync();
  }
  state.counters["files"] = file_count();
}

// The other way to the same guarantee: an fsync of every file and folder.
void fsync_tree(const fs::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0 || close(fd) != 0) abort();
  if (!fs::is_directory(path)) return;
  for (const auto& entry : fs::directory_iterator(path))
    fsync_tree(entry.path());
}

void BM_FsyncOfEveryStagedEntry(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path staged = fresh_staged_version();
    state.ResumeTiming();
    fsync_tree(staged);
  }
  state.counters["files"] = file_count();
}

// The whole update of an installation of `state.range(0)` top-level files, each of them in the
// root and staged in the update folder under the same name.
void BM_UpdateOfTopLevelFiles(benchmark::State& state) {
  const auto count = static_cast<int>(state.range(0));
  const fs::path root = bench_dir() / "Flat";
  setenv("TMPDIR", bench_dir().c_str(), 1);
  setenv("XDG_CONFIG_HOME", (bench_dir() / "config").c_str(), 1);
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(root);
    fs::create_directories(root / "_");
    for (const fs::path& version : {root, root / "_"}) {
      std::ofstream(version / "Vellicor.exe") << "version";
      for (int i = 0; i < count; ++i)
        std::ofstream(version / ("file" + std::to_string(i) + ".dat")) << "version";
    }
    state.ResumeTiming();
    bench_support::run_process({VELLICOR_UPDATER, (root / "Vellicor.exe").string(), "true"});
  }
  state.counters["files"] = count;
}

BENCHMARK(BM_UpdateOfTopLevelFiles)
    ->Arg(2500)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_MoveUpdate)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_RemoveAndMove)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_RequiredCalls)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_WriteStagedVersionToDisk)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_SyncOfFreshData)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_FsyncOfEveryStagedEntry)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
