// CRC-32 throughput of ours against zlib's crc32 on the same buffers.

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "model/crc32.hpp"

namespace {

// One random buffer for both; each benchmark takes its first range(0) bytes.
const std::vector<uint8_t>& buffer() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> random_bytes(size_t{1} << 20);
    std::mt19937 random(1);
    for (auto& byte : random_bytes)
      byte = static_cast<uint8_t>(random());
    return random_bytes;
  }();
  return bytes;
}

void BM_Crc32(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const auto& bytes = buffer();
  for (auto _ : state)
    benchmark::DoNotOptimize(vellicor::crc32(bytes.data(), size));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_ZlibCrc32(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const auto& bytes = buffer();
  for (auto _ : state)
    benchmark::DoNotOptimize(crc32(0, bytes.data(), static_cast<uInt>(size)));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// A block's payload, and a large buffer.
BENCHMARK(BM_Crc32)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_ZlibCrc32)->Arg(4096)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
