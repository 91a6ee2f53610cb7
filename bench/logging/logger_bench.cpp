// Cost of a logging call on the caller's thread, and lines per second the worker writes to a
// real log file, against the floor of writing prepared lines straight to such a file.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "logging/logger.hpp"
#include "support/temp_dir.hpp"

namespace vellicor {
namespace {

using Clock = std::chrono::steady_clock;

// Counts what reached the file, so that the benchmark can wait for the worker.
class CountingSink final : public LineSink {
 public:
  CountingSink(std::unique_ptr<LineSink> file, std::atomic<uint64_t>& written)
      : file_(std::move(file)), written_(written) {}
  Status write_lines(std::string_view lines) override {
    auto status = file_->write_lines(lines);
    written_.fetch_add(static_cast<uint64_t>(std::count(lines.begin(), lines.end(), '\n')),
                       std::memory_order_release);
    return status;
  }

 private:
  std::unique_ptr<LineSink> file_;
  std::atomic<uint64_t>& written_;
};

std::unique_ptr<LineSink> open_file(const testing_support::TempDir& dir, benchmark::State& state) {
  auto file = create_log_file(dir.at("vellicor-updater-bench.log"));
  if (!file) {
    state.SkipWithError(file.error().display_text().c_str());
    return nullptr;
  }
  return std::move(*file);
}

void wait_until_written(const std::atomic<uint64_t>& written, uint64_t count) {
  while (written.load(std::memory_order_acquire) < count)
    std::this_thread::yield();
}

// Bursts of calls shorter than the queue, each call timed alone; between bursts (not timed)
// the worker drains the queue, so every call takes the path of a record that is queued.
// With `format`, the timed part includes building the message as the program's callers do.
void BM_LogCall(benchmark::State& state, bool format) {
  testing_support::TempDir dir;
  auto file = open_file(dir, state);
  if (!file) return;
  std::atomic<uint64_t> written{0};
  auto logger = create_logger(std::make_unique<CountingSink>(std::move(file), written));

  constexpr int kBurst = 64;
  std::vector<double> samples;
  uint64_t logged = 0;
  uint32_t pid = 4000;
  for (auto _ : state) {
    double burst_seconds = 0;
    for (int i = 0; i < kBurst; ++i) {
      ++pid;
      std::string prepared;
      if (!format) prepared = "Kill process if found: " + std::to_string(pid) + ", Vellicor.exe";
      const auto start = Clock::now();
      if (format) {
        log_info(*logger, "Kill process if found: " + std::to_string(pid) + ", Vellicor.exe",
                 kProcessModule);
      } else {
        log_info(*logger, std::move(prepared), kProcessModule);
      }
      const auto stop = Clock::now();
      const double seconds = std::chrono::duration<double>(stop - start).count();
      samples.push_back(seconds);
      burst_seconds += seconds;
    }
    logged += kBurst;
    state.SetIterationTime(burst_seconds);
    wait_until_written(written, logged);
  }
  const uint64_t dropped = dropped_count(*logger);
  release_logger(std::move(logger));

  std::sort(samples.begin(), samples.end());
  state.counters["median_ns"] = samples[samples.size() / 2] * 1e9;
  state.counters["p99_ns"] = samples[samples.size() * 99 / 100] * 1e9;
  state.counters["dropped"] = static_cast<double>(dropped);
  state.SetItemsProcessed(static_cast<int64_t>(logged));
}
BENCHMARK_CAPTURE(BM_LogCall, prepared_message, false)->UseManualTime();
BENCHMARK_CAPTURE(BM_LogCall, formatted_in_call, true)->UseManualTime();

// The caller keeps the queue nearly full without overflowing it, so the worker never waits:
// items per second is the rate at which lines reach the file.
void BM_LoggerLinesToFile(benchmark::State& state) {
  testing_support::TempDir dir;
  auto file = open_file(dir, state);
  if (!file) return;
  std::atomic<uint64_t> written{0};
  auto logger = create_logger(std::make_unique<CountingSink>(std::move(file), written));
  uint64_t logged = 0;
  for (auto _ : state) {
    while (logged - written.load(std::memory_order_acquire) >= kLogQueueCapacity)
      std::this_thread::yield();
    log_info(*logger, "Kill process if found: 4242, Vellicor.exe", kProcessModule);
    ++logged;
  }
  wait_until_written(written, logged);
  state.counters["dropped"] = static_cast<double>(dropped_count(*logger));
  release_logger(std::move(logger));
  state.SetItemsProcessed(static_cast<int64_t>(logged));
}
BENCHMARK(BM_LoggerLinesToFile)->UseRealTime();

// The floor: the same lines, already formatted, written one write call each (the worker writes
// many lines a call, so it may beat this).
void BM_PreparedLinesToFile(benchmark::State& state) {
  testing_support::TempDir dir;
  auto file = open_file(dir, state);
  if (!file) return;
  const std::string line = "Mar 05 14:02:07.093 INFO Kill process if found: 4242, Vellicor.exe\n";
  for (auto _ : state) {
    if (!file->write_lines(line)) {
      state.SkipWithError("write failed");
      return;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_PreparedLinesToFile)->UseRealTime();

}  // namespace
}  // namespace vellicor

BENCHMARK_MAIN();
