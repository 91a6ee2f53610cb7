// The Windows build's way of writing a freshly staged version to the disk, measured under Wine
// against a FlushFileBuffers of each file: every file written out through one open of its own
// (open_entry), then one flush of the folder (write_to_device). On Windows 8 and later each file
// is written out without the device's cache flush (NtFlushBuffersFileEx, FLUSH_FLAGS_NO_SYNC)
// and the folder's flush makes the device keep them all, as Git's batch mode does; Wine 8 has
// no NtFlushBuffersFileEx, so that both ways are an fsync of each file there.
//
// Prints its medians in the shape of Google Benchmark's JSON output, which bench/ratios.py reads
// (the arguments it passes are ignored): a plain program, since Google Benchmark is not built
// for Windows here.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "base/durability.hpp"
#include "base/entry_identity.hpp"
#include "base/fs.hpp"
#include "base/path.hpp"
#include "base/tree_removal.hpp"
#include "base/win32.hpp"

namespace {

using namespace vellicor;

constexpr int kFiles = 5000;
constexpr int kRepetitions = 5;
const std::string kFolder = "C:\\vellicor-durability-bench";

std::string file_path(int i) {
  return join_path(kFolder, "file" + std::to_string(i) + ".dat");
}

// A freshly staged version: every file written anew, nothing of it flushed yet.
void stage() {
  CreateDirectoryW(L"C:\\vellicor-durability-bench", nullptr);
  const std::string content(2048, 'n');
  for (int i = 0; i < kFiles; ++i) {
    const auto wide = win32::wide_path(file_path(i)).value();
    const win32::UniqueHandle file(CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr,
                                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file.valid() || !WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()),
                                    &written, nullptr)) {
      std::abort();
    }
  }
}

void the_updates_way() {
  for (int i = 0; i < kFiles; ++i) {
    if (!open_entry(file_path(i), OpenFor::Alone, EntryIdentity::Basis::Traits,
                    Flush::WriteoutOnly))
      std::abort();
  }
  if (!write_to_device(kFolder)) std::abort();
}

void flush_of_each_file() {
  for (int i = 0; i < kFiles; ++i) {
    const auto wide = win32::wide_path(file_path(i)).value();
    const win32::UniqueHandle file(CreateFileW(wide.c_str(), GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    if (!file.valid() || !FlushFileBuffers(file.get())) std::abort();
  }
}

double median_ns(void (*measured)()) {
  std::vector<double> times;
  for (int i = 0; i < kRepetitions; ++i) {
    stage();
    const auto start = std::chrono::steady_clock::now();
    measured();
    times.push_back(
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main() {
  const bool without_sync =
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtFlushBuffersFileEx") != nullptr;
  const double update = median_ns(the_updates_way);
  const double each = median_ns(flush_of_each_file);
  (void)remove_directory_tree(kFolder);
  std::printf(
      "{\"benchmarks\": [\n"
      "{\"run_name\": \"BM_WindowsStagedVersionToDisk\", \"run_type\": \"aggregate\", "
      "\"aggregate_name\": \"median\", \"real_time\": %.0f, \"time_unit\": \"ns\", "
      "\"files\": %d, \"flush_without_sync\": %d},\n"
      "{\"run_name\": \"BM_WindowsFlushOfEachFile\", \"run_type\": \"aggregate\", "
      "\"aggregate_name\": \"median\", \"real_time\": %.0f, \"time_unit\": \"ns\", "
      "\"files\": %d}\n"
      "]}\n",
      update, kFiles, without_sync ? 1 : 0, each, kFiles);
  return 0;
}
