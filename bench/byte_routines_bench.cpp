// Throughput of the byte routines over one chunk buffer, next to memcpy of
// the same buffer as the yardstick for "as fast as memory moves"; and of the
// journal's hashes as a run calls them, one 512-byte piece at a time.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "hash.h"
#include "transforms.h"

namespace {

constexpr std::int32_t kLength = static_cast<std::int32_t>(tavo::kChunkBufferSize);
constexpr std::int32_t kFactor = 0x5A;

void fill(std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(i * 131u + 7u);
}

// The routines run on a buffer allocated the way the operations allocate
// theirs.
std::vector<std::uint8_t> filled_buffer() {
  std::vector<std::uint8_t> buffer(tavo::kChunkBufferSize);
  fill(buffer.data(), buffer.size());
  return buffer;
}

// Reports decimal gigabytes per second next to Google Benchmark's own
// binary bytes_per_second.
void count_bytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kLength);
  state.counters["GB"] =
      benchmark::Counter(kLength / 1e9, benchmark::Counter::kIsIterationInvariantRate);
}

template <void (*Routine)(std::int32_t, std::uint8_t*, std::int32_t)>
void bm_routine(benchmark::State& state) {
  auto buffer = filled_buffer();
  for (auto _ : state) {
    Routine(kLength, buffer.data(), kFactor);
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  count_bytes(state);
}

void bm_not_bytes(benchmark::State& state) {
  auto buffer = filled_buffer();
  for (auto _ : state) {
    tavo::not_bytes(kLength, buffer.data());
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  count_bytes(state);
}

// Source and target sit in one page-aligned block, 2 KiB apart modulo the
// page size. Two separate 64 KiB heap blocks land exactly 16 bytes apart
// modulo 4096, and on some x86 cores (the AMD EPYC of the published figures
// among them) glibc's string-move copy then runs at about 1 GB/s instead of
// tens: the yardstick would measure that quirk, not the memory.
void bm_memcpy(benchmark::State& state) {
  constexpr std::size_t kGap = tavo::kChunkBufferSize + 2048;
  const std::unique_ptr<std::uint8_t, decltype(&std::free)> block(
      static_cast<std::uint8_t*>(std::aligned_alloc(4096, kGap + tavo::kChunkBufferSize + 2048)),
      &std::free);
  if (!block) {
    state.SkipWithError("out of memory");
    return;
  }
  std::uint8_t* source = block.get();
  std::uint8_t* target = block.get() + kGap;
  fill(source, tavo::kChunkBufferSize);
  for (auto _ : state) {
    std::memcpy(target, source, tavo::kChunkBufferSize);
    benchmark::DoNotOptimize(target);
    benchmark::ClobberMemory();
  }
  count_bytes(state);
}

// Every 512-byte piece of the buffer hashed on its own, as a run hashes them.
template <std::uint64_t (*Hash)(const std::uint8_t*, std::size_t)>
void bm_piece_hash(benchmark::State& state) {
  auto buffer = filled_buffer();
  for (auto _ : state) {
    std::uint64_t sum = 0;
    for (std::size_t piece = 0; piece < buffer.size(); piece += 512) {
      sum += Hash(buffer.data() + piece, 512);
    }
    benchmark::DoNotOptimize(sum);
  }
  count_bytes(state);
}

std::uint64_t first_version(const std::uint8_t* bytes, std::size_t count) {
  return tavo::hash_bytes(tavo::kFirstVersion, bytes, count);
}
std::uint64_t xxh3_chosen(const std::uint8_t* bytes, std::size_t count) {
  return tavo::xxh3(bytes, count);
}
std::uint64_t xxh3_baseline(const std::uint8_t* bytes, std::size_t count) {
  return tavo::xxh3_baseline(bytes, count);
}

}  // namespace

BENCHMARK(bm_memcpy);
BENCHMARK(bm_routine<tavo::add_bytes>)->Name("bm_add_bytes");
BENCHMARK(bm_routine<tavo::subtract_bytes>)->Name("bm_subtract_bytes");
BENCHMARK(bm_routine<tavo::xor_bytes>)->Name("bm_xor_bytes");
BENCHMARK(bm_not_bytes);
BENCHMARK(bm_piece_hash<first_version>)->Name("bm_piece_hash_version_1");
BENCHMARK(bm_piece_hash<xxh3_baseline>)->Name("bm_piece_hash_xxh3_baseline");
BENCHMARK(bm_piece_hash<xxh3_chosen>)->Name("bm_piece_hash_xxh3_chosen");

BENCHMARK_MAIN();
