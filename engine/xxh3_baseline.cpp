// XXH3-64 for the instruction set the whole build targets.
#include <cstddef>
#include <cstdint>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace tavo {

std::uint64_t xxh3_baseline(const void* bytes, std::size_t count) {
  return XXH3_64bits(bytes, count);
}

}  // namespace tavo
