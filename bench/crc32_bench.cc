// crc32 throughput: this tool's method, zlib's and the plain table method in
// one binary, so their ratios come from one run on one machine.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "image/crc32.h"
#include "image/crc32_reference.h"

namespace {

using CrcFunction = uint32_t (*)(uint32_t, const uint8_t*, size_t);

uint32_t portable(uint32_t previous, const uint8_t* data, size_t count) {
  return image::crc32(previous, data, count);
}

uint32_t table(uint32_t previous, const uint8_t* data, size_t count) {
  return image::detail::crc32_table_reference(previous, data, count);
}

uint32_t zlib(uint32_t previous, const uint8_t* data, size_t count) {
  return static_cast<uint32_t>(::crc32_z(previous, data, count));
}

constexpr size_t kLargest = size_t{16} << 20;

// Random bytes, so no method gains from a repetitive input.
const uint8_t* input() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> b(kLargest);
    std::mt19937 random(8);
    for (auto& x : b) x = static_cast<uint8_t>(random());
    return b;
  }();
  return bytes.data();
}

void throughput(benchmark::State& state, CrcFunction function) {
  const size_t size = static_cast<size_t>(state.range(0));
  const uint8_t* data = input();
  // A wrong result would make every figure meaningless.
  if (function(0, data, size) != zlib(0, data, size)) {
    state.SkipWithError("result differs from zlib");
    return;
  }
  uint32_t crc = 0;
  for (auto _ : state) {
    crc = function(crc, data, size);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

// 1 KiB is the piece image verification reads at a time, 64 KiB a typical
// read size, 16 MiB a whole payload.
void sizes(benchmark::internal::Benchmark* b) { b->Arg(1 << 10)->Arg(64 << 10)->Arg(kLargest); }

BENCHMARK_CAPTURE(throughput, portable, portable)->Apply(sizes);
BENCHMARK_CAPTURE(throughput, zlib, zlib)->Apply(sizes);
BENCHMARK_CAPTURE(throughput, table, table)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
