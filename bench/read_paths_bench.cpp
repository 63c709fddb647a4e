// The two ways the second thread of a run could get a zone's bytes to hash
// them, on this machine: copied into a buffer with pread (what runs do) and
// seen in place through a fresh mapping of each 256 KiB window (mmap with
// MAP_POPULATE, then munmap). Both hash every 512-byte piece with XXH3 and
// read a file that is in the page cache, as the zone after the current one
// is once prefetched. Where a mapping's page walks are dear (some virtual
// machines), the in-place row is the slower one.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "hash.h"

namespace {

constexpr std::size_t kWindow = std::size_t{256} << 10;
constexpr std::size_t kPiece = 512;
constexpr std::size_t kFileSize = std::size_t{256} << 20;

// A file of kFileSize bytes in the scratch folder, read once so that it is
// in the page cache; removed at exit.
int cached_file() {
  static const int fd = [] {
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder != nullptr ? folder : "/tmp") + "/read_paths.XXXXXX";
    const int made = ::mkstemp(path.data());
    if (made < 0) std::abort();
    ::unlink(path.c_str());
    std::vector<std::uint8_t> window(kWindow);
    for (std::size_t offset = 0; offset < kFileSize; offset += kWindow) {
      for (std::size_t i = 0; i < kWindow; ++i)
        window[i] = static_cast<std::uint8_t>(offset + i * 7);
      if (::pwrite(made, window.data(), kWindow, static_cast<off_t>(offset)) !=
          static_cast<ssize_t>(kWindow)) {
        std::abort();
      }
    }
    return made;
  }();
  return fd;
}

std::uint64_t hash_window(const std::uint8_t* bytes) {
  std::uint64_t sum = 0;
  for (std::size_t piece = 0; piece < kWindow; piece += kPiece)
    sum ^= tavo::xxh3(bytes + piece, kPiece);
  return sum;
}

void BM_ReadIntoBuffer(benchmark::State& state) {
  const int fd = cached_file();
  std::vector<std::uint8_t> buffer(kWindow);
  for (auto _ : state) {
    for (std::size_t offset = 0; offset < kFileSize; offset += kWindow) {
      if (::pread(fd, buffer.data(), kWindow, static_cast<off_t>(offset)) !=
          static_cast<ssize_t>(kWindow)) {
        state.SkipWithError("pread failed");
        return;
      }
      benchmark::DoNotOptimize(hash_window(buffer.data()));
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

void BM_SeeInPlace(benchmark::State& state) {
  const int fd = cached_file();
  for (auto _ : state) {
    for (std::size_t offset = 0; offset < kFileSize; offset += kWindow) {
      void* view = ::mmap(nullptr, kWindow, PROT_READ, MAP_SHARED | MAP_POPULATE, fd,
                          static_cast<off_t>(offset));
      if (view == MAP_FAILED) {
        state.SkipWithError("mmap failed");
        return;
      }
      benchmark::DoNotOptimize(hash_window(static_cast<const std::uint8_t*>(view)));
      ::munmap(view, kWindow);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

BENCHMARK(BM_ReadIntoBuffer)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SeeInPlace)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
