// The Windows build's holds before the first delete, measured under Wine: the scan of a staged
// version that holds each top-level file, then the old version's collection, which holds every
// old file after letting go of a staged file that is the same file by another name. An
// installation whose files all have a second name (copies made as hard links, as a backup or a
// deduplicating tool leaves them) against the same installation with one name a file: each old
// file is matched against the held staged files, and that match must cost one look at the old
// file, not an open of every pair.
//
// Prints its medians in the shape of Google Benchmark's JSON output, which bench/ratios.py reads
// (the arguments it passes are ignored).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "base/fs.hpp"
#include "base/path.hpp"
#include "base/tree_removal.hpp"
#include "base/win32.hpp"
#include "logging/logger.hpp"
#include "update/installation.hpp"
#include "update/old_version.hpp"
#include "update/staged_scan.hpp"
#include "update/update_context.hpp"

namespace {

using namespace vellicor;

constexpr int kFiles = 500;  // top-level files of each version
constexpr int kRepetitions = 7;
const std::string kRoot = "C:\\vellicor-hold-bench";
const std::string kLinks = "C:\\vellicor-hold-bench-links";

void write_file(const std::string& path, const std::string& content) {
  const auto wide = win32::wide_path(path).value();
  const win32::UniqueHandle file(CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (!file.valid() || !WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()),
                                  &written, nullptr)) {
    std::abort();
  }
}

void link_file(const std::string& path, const std::string& link) {
  const auto wide = win32::wide_path(path).value();
  const auto wide_link = win32::wide_path(link).value();
  if (!CreateHardLinkW(wide_link.c_str(), wide.c_str(), nullptr)) std::abort();
}

// The old version and the staged one, each file given a second name outside the installation
// when `linked`.
void install(bool linked) {
  (void)remove_directory_tree(kRoot);
  (void)remove_directory_tree(kLinks);
  for (const auto& folder : {kRoot, join_path(kRoot, "_"), kLinks}) {
    if (!CreateDirectoryW(win32::wide_path(folder).value().c_str(), nullptr)) std::abort();
  }
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "file" + std::to_string(i) + ".dat";
    const std::string old_file = join_path(kRoot, name);
    const std::string staged_file = join_path(join_path(kRoot, "_"), name);
    write_file(old_file, "old " + name);
    write_file(staged_file, "new " + name);
    if (linked) {
      link_file(old_file, join_path(kLinks, "old-" + name));
      link_file(staged_file, join_path(kLinks, "new-" + name));
    }
  }
  write_file(join_path(kRoot, "Vellicor.exe"), "old");
}

// What an update holds before its first delete, taken and let go again.
void hold_both_versions(const UpdateContext& update) {
  auto staged = list_directory(update.installation.update_folder);
  if (!staged) std::abort();
  auto scan = StagedScan::take(update, *staged, StagedScan::Mode::Update);
  if (!scan) std::abort();
  auto old = OldVersion::collect(
      update, [&](const std::string& path) { return scan->let_go_of_same_file(path); });
  if (!old) std::abort();
}

double median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// The medians of both installations, their repetitions taken in turns, so that what the machine
// does meanwhile weighs on both alike.
std::pair<double, double> median_ns() {
  auto logger = create_logger(std::make_unique<DiscardedLines>());
  const auto installation =
      make_installation(join_path(kRoot, "Vellicor.exe"), join_path(kRoot, "Vellicor.exe"));
  if (!installation) std::abort();
  // Nothing waits: a hold that could not be had ends the benchmark.
  const RetryHooks hooks{[](uint32_t) { std::abort(); },
                         [](std::string_view) { return MessageBoxAnswer::Cancel; }};
  const UpdateContext update{*logger, *installation, hooks};
  std::vector<double> times[2];
  for (int i = 0; i < 2 * kRepetitions; ++i) {
    const bool linked = i % 2 == 0;
    install(linked);
    const auto start = std::chrono::steady_clock::now();
    hold_both_versions(update);
    times[linked].push_back(
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count());
  }
  release_logger(std::move(logger));
  return {median(times[1]), median(times[0])};
}

}  // namespace

int main() {
  const auto [linked, single] = median_ns();
  (void)remove_directory_tree(kRoot);
  (void)remove_directory_tree(kLinks);
  std::printf(
      "{\"benchmarks\": [\n"
      "{\"run_name\": \"BM_WindowsHoldLinkedVersions\", \"run_type\": \"aggregate\", "
      "\"aggregate_name\": \"median\", \"real_time\": %.0f, \"time_unit\": \"ns\", "
      "\"files\": %d},\n"
      "{\"run_name\": \"BM_WindowsHoldSingleNamedVersions\", \"run_type\": \"aggregate\", "
      "\"aggregate_name\": \"median\", \"real_time\": %.0f, \"time_unit\": \"ns\", "
      "\"files\": %d}\n"
      "]}\n",
      linked, kFiles, single, kFiles);
  return 0;
}
