// XXH3-64 for processors with AVX2, built with -mavx2. Only the hash's own
// static functions live here, so no code built for AVX2 can be shared with
// (and picked by the linker for) the rest of the program.
#include <cstddef>
#include <cstdint>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace tavo {

std::uint64_t xxh3_avx2(const void* bytes, std::size_t count) { return XXH3_64bits(bytes, count); }

}  // namespace tavo
