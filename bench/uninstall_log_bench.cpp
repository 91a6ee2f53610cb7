// Patching (read, rebase, write) and dumping a generated 50 MB uninstall log, against copying
// and reading the same file; "--parse" and a whole update as processes of their own, with
// their peak memory, against cat; the check of a staged version against its 50 MB log, against
// the dump of that log.
//
// The files live in $VELLICOR_BENCH_DIR, else /dev/shm when it exists, else the temporary
// directory: on a memory file system the flush to the device costs nothing, so the figures
// compare the work of the code, not the speed of the disk.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/file.hpp"
#include "base/fs.hpp"
#include "base/path.hpp"
#include "logging/logger.hpp"
#include "main/dump.hpp"
#include "model/filerec/rebase.hpp"
#include "model/filerec/text_list.hpp"
#include "model/uninstall_log.hpp"
#include "support/bench_dir.hpp"
#include "support/run_process.hpp"
#include "update/installation.hpp"
#include "update/staged_check.hpp"

namespace {

namespace fs = std::filesystem;
using namespace vellicor;
using bench_support::run_process;

constexpr size_t kLogBytes = 50u << 20;
const std::string kFolder = R"(C:\Apps\Vellicor\_)";

fs::path bench_dir() {
  static const fs::path dir = bench_support::make_bench_dir("vellicor-bench");
  return dir;
}

// Where a generated log's paths lie: the update folder, a folder outside it, and the separator.
struct LogPaths {
  std::string folder = kFolder;
  std::string elsewhere = R"(C:\Users\root\AppData\Roaming\Vellicor)";
  char separator = '\\';
};

// An installer-like log of about `bytes`: a few records of other types, then files (0x82: the
// path and four empty texts) and folders (0x81), nine in ten of them inside the update folder.
std::string make_log(size_t bytes, const std::string& name, const LogPaths& paths = {}) {
  std::vector<FileRec> records;
  records.push_back({0, std::vector<uint8_t>(300, 0x41), FileRecType::StartInstall});
  records.push_back({0, std::vector<uint8_t>(200000, 0x5A), FileRecType::CompiledCode});
  size_t total = 0;
  const char sep = paths.separator;
  for (size_t i = 0; total < bytes; ++i) {
    const std::string root = i % 10 == 9 ? paths.elsewhere : paths.folder;
    const std::string dir =
        root + sep + "resources" + sep + "docs" + sep + "section-" + std::to_string(i / 200);
    FileRec record;
    if (i % 200 == 0) {
      record = {0, encode_text_list(std::vector<std::string>{dir}), FileRecType::DeleteDirOrFiles};
    } else {
      const std::vector<std::string> texts = {dir + sep + "page-" + std::to_string(i) + ".html", "",
                                              "", "", ""};
      record = {0x100, encode_text_list(texts), FileRecType::DeleteFile};
    }
    total += 10 + record.data.size();
    records.push_back(std::move(record));
  }
  records.push_back({0, {}, FileRecType::EndInstall});
  UninstallHeader header{kHeaderId,
                         "{0B7D9E54-2C31-4F6A-8E21-5D4C3B2A1F00}",
                         "Vellicor",
                         1048,
                         static_cast<uint32_t>(records.size()),
                         0,
                         1,
                         0};
  const std::string file = (bench_dir() / name).string();
  if (!write_uninstall_log(file, header, records)) abort();
  return file;
}

const std::string& generated_log() {
  static const std::string path = make_log(kLogBytes, "generated.dat");
  return path;
}

const std::string& small_log() {
  static const std::string path = make_log(kLogBytes / 10, "small.dat");
  return path;
}

// An installation whose update folder holds a generated 50 MB log and every file that it names
// inside the folder, each a hard link of one empty file: the check looks at names, not
// contents. `files` are their paths.
struct StagedInstallation {
  Installation installation;
  std::vector<std::string> files;
};

const StagedInstallation& staged_installation() {
  static const StagedInstallation staged = [] {
    const fs::path root = bench_dir() / "Staged";
    fs::create_directories(root / "_");
    std::ofstream(root / "Vellicor.exe") << "old";
    std::ofstream(root / "_" / "Vellicor.exe") << "new";
    auto made = resolve_installation((root / "Vellicor.exe").string());
    if (!made) abort();
    std::vector<std::string> files;
    const std::string log = make_log(kLogBytes, "Staged/_/unins000.dat",
                                     {made->update_folder, "/home/user/.config/Vellicor", '/'});
    const FileRecVisitor link_files{.record = [&](FileRec& record) {
      if (record.typ != FileRecType::DeleteFile) return Status{};
      const fs::path file = decode_text_list(record.data).value().at(0);
      if (file.string().starts_with(made->update_folder)) {
        fs::create_directories(file.parent_path());
        fs::create_hard_link(root / "_" / "Vellicor.exe", file);
        files.push_back(file.string());
      }
      return Status{};
    }};
    if (!read_file_recs(log, link_files)) abort();
    return StagedInstallation{std::move(*made), std::move(files)};
  }();
  return staged;
}

void set_bytes(benchmark::State& state) {
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * fs::file_size(generated_log())));
}

void BM_CopyLog(benchmark::State& state) {
  const std::string target = (bench_dir() / "copy.dat").string();
  for (auto _ : state) {
    fs::copy_file(generated_log(), target, fs::copy_options::overwrite_existing);
  }
  set_bytes(state);
}

void BM_PatchLog(benchmark::State& state) {
  const std::string target = (bench_dir() / "patched.dat").string();
  for (auto _ : state) {
    const std::string folder = kFolder;
    FileRecRebaser rebaser(std::span(&folder, 1), PathStyle::Windows);
    if (!rewrite_uninstall_log(
            generated_log(), target, [&](FileRec& record) { return rebaser.rebase(record); },
            [](const UninstallHeader&, uint32_t) {})) {
      abort();
    }
  }
  set_bytes(state);
}

// The patch's parts on their own, to see where its time goes.
void BM_ReadLog(benchmark::State& state) {
  for (auto _ : state) {
    uint64_t records = 0;
    const FileRecVisitor count{.record = [&](FileRec&) {
      ++records;
      return Status{};
    }};
    if (!read_file_recs(generated_log(), count)) abort();
    benchmark::DoNotOptimize(records);
  }
  set_bytes(state);
}

void BM_WriteLog(benchmark::State& state) {
  const auto log = read_uninstall_log(generated_log());
  if (!log) abort();
  const std::string target = (bench_dir() / "written.dat").string();
  for (auto _ : state) {
    if (!write_uninstall_log(target, log->header, log->records)) abort();
  }
  set_bytes(state);
}

void BM_RebaseLog(benchmark::State& state) {
  const auto log = read_uninstall_log(generated_log());
  if (!log) abort();
  for (auto _ : state) {
    state.PauseTiming();
    auto records = log->records;
    state.ResumeTiming();
    auto rebased = rebase_file_recs(std::move(records), kFolder, PathStyle::Windows);
    if (!rebased) abort();
    state.PauseTiming();
    rebased->clear();
    state.ResumeTiming();
  }
  set_bytes(state);
}

// The least that any rewrite of the log through the program's 64 KiB buffers costs: the
// file read in pieces of that size and written back the same way to a temporary file, which is
// flushed and moved over the target, as write_uninstall_log does. Copying the file (the floor
// of BM_PatchLog) moves its bytes inside the kernel and never through a program's memory.
void BM_RewriteLogFile(benchmark::State& state) {
  const std::string target = (bench_dir() / "rewritten.dat").string();
  const std::string temp = target + ".tmp";
  std::vector<uint8_t> piece(BufferedReader::kCapacity);
  for (auto _ : state) {
    auto in = File::open_for_reading(generated_log());
    auto out = File::create_for_writing(temp);
    if (!in || !out) abort();
    for (;;) {
      const auto got = in->read(piece.data(), piece.size());
      if (!got) abort();
      if (*got == 0) break;
      for (size_t done = 0; done < *got;) {
        const auto put = out->write(piece.data() + done, *got - done);
        if (!put || *put == 0) abort();
        done += *put;
      }
    }
    if (!out->flush() || !out->close() || !rename_replacing(temp, target)) abort();
  }
  set_bytes(state);
}

void BM_ReadLogFile(benchmark::State& state) {
  for (auto _ : state) {
    auto file = File::open_for_reading(generated_log());
    if (!file) abort();
    std::vector<uint8_t> bytes(file->size().value());
    size_t done = 0;
    while (done < bytes.size()) {
      const auto got = file->read(bytes.data() + done, bytes.size() - done);
      if (!got || *got == 0) abort();
      done += *got;
    }
    benchmark::DoNotOptimize(bytes.data());
  }
  set_bytes(state);
}

void dump_log(benchmark::State& state, const std::string& log) {
  // The report's few lines go nowhere; the benchmark's own output stays on standard output.
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  for (auto _ : state) {
    if (dump_uninstall_log(log) != 0) abort();
  }
  dup2(saved, STDOUT_FILENO);
  close(null);
  close(saved);
}

void BM_DumpLog(benchmark::State& state) {
  dump_log(state, generated_log());
  set_bytes(state);
}

// The staged version's check, a look at every file its log names, against "--parse" of the
// log, which reads it the same way.
void BM_CheckStagedVersion(benchmark::State& state) {
  const Installation& installation = staged_installation().installation;
  auto logger = create_logger(std::make_unique<DiscardedLines>());
  for (auto _ : state) {
    if (!check_staged_version(*logger, installation)) abort();
  }
  release_logger(std::move(logger));
  state.counters["files"] = static_cast<double>(staged_installation().files.size());
}

void BM_DumpStagedLog(benchmark::State& state) {
  dump_log(state, join_path(staged_installation().installation.update_folder, "unins000.dat"));
}

// What the check cannot do without: one look at each of those files, by a list of their paths.
void BM_StatStagedFiles(benchmark::State& state) {
  for (auto _ : state) {
    for (const auto& file : staged_installation().files) {
      if (!is_regular_file(file)) abort();
    }
  }
}

// "--parse" as the user runs it, a whole process, against cat of the same file; and the
// process's peak memory, which must not grow with the log.
void BM_ParseProcess(benchmark::State& state) {
  const std::string& log = state.range(0) == 0 ? small_log() : generated_log();
  long peak = 0;
  for (auto _ : state)
    peak = std::max(peak, run_process({VELLICOR_UPDATER, "--parse", log}));
  state.counters["peak_rss_kb"] = static_cast<double>(peak);
  state.SetLabel(state.range(0) == 0 ? "5 MB" : "50 MB");
}

void BM_CatProcess(benchmark::State& state) {
  for (auto _ : state)
    run_process({"cat", generated_log()});
}

// A whole update of a small installation whose uninstall log is the generated one: its peak
// memory is what rewriting the log costs (the installation's files cost next to nothing).
void BM_UpdateProcess(benchmark::State& state) {
  const std::string& log = state.range(0) == 0 ? small_log() : generated_log();
  const fs::path root = bench_dir() / "Vellicor";
  long peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(root);
    fs::create_directories(root / "_");
    std::ofstream(root / "Vellicor.exe") << "old";
    std::ofstream(root / "_" / "Vellicor.exe") << "new";
    fs::copy_file(log, root / "_" / "unins000.dat");
    state.ResumeTiming();
    setenv("TMPDIR", bench_dir().c_str(), 1);
    setenv("XDG_CONFIG_HOME", (bench_dir() / "config").c_str(), 1);
    peak =
        std::max(peak, run_process({VELLICOR_UPDATER, (root / "Vellicor.exe").string(), "true"}));
  }
  state.counters["peak_rss_kb"] = static_cast<double>(peak);
  state.SetLabel(state.range(0) == 0 ? "5 MB" : "50 MB");
}

BENCHMARK(BM_CopyLog)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PatchLog)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadLog)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RebaseLog)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WriteLog)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RewriteLogFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadLogFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DumpLog)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CheckStagedVersion)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DumpStagedLog)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StatStagedFiles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ParseProcess)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CatProcess)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UpdateProcess)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  generated_log();  // made before any timing starts
  small_log();
  staged_installation();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
