// The journal's 64-bit hashes (hash.h): the old one of version 1 and XXH3-64,
// whose builds live in xxh3_baseline.cpp and xxh3_avx2.cpp.
#include "hash.h"

#include "bytes.h"

namespace tavo {

std::uint64_t xxh3_avx2(const void* bytes, std::size_t count);

namespace {

// The hash of version 1.
std::uint64_t first_version_hash(const std::uint8_t* bytes, std::size_t count) {
  // Four independent multiply-rotate lanes over 8-byte words, so the
  // multiplications overlap; then a full avalanche of the lanes and length.
  constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
  constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
  std::uint64_t lanes[4] = {kPrime1, kPrime2, ~kPrime1, ~kPrime2};
  std::size_t i = 0;
  for (; i + 32 <= count; i += 32) {
    for (int lane = 0; lane < 4; ++lane) {
      const std::uint64_t word = load_le64(bytes + i + 8 * lane);
      lanes[lane] = rotate_left((lanes[lane] ^ word) * kPrime1, 31) * kPrime2;
    }
  }
  for (; i + 8 <= count; i += 8) {
    lanes[0] = rotate_left((lanes[0] ^ load_le64(bytes + i)) * kPrime1, 31) * kPrime2;
  }
  std::uint64_t tail = 0;
  for (int shift = 0; i < count; ++i, shift += 8) {
    tail |= static_cast<std::uint64_t>(bytes[i]) << shift;
  }
  std::uint64_t h = static_cast<std::uint64_t>(count) * kPrime1 ^ tail;
  for (std::uint64_t lane : lanes) h = rotate_left(h ^ (lane * kPrime2), 27) * kPrime1 + kPrime2;
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return h;
}

using Xxh3 = std::uint64_t (*)(const void*, std::size_t);

Xxh3 best_xxh3() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return xxh3_avx2;
#endif
  return xxh3_baseline;
}

}  // namespace

std::uint64_t xxh3(const void* bytes, std::size_t count) {
  static const Xxh3 chosen = best_xxh3();
  return chosen(bytes, count);
}

std::uint64_t hash_bytes(std::uint8_t version, const std::uint8_t* bytes, std::size_t count) {
  return version == kFirstVersion ? first_version_hash(bytes, count) : xxh3(bytes, count);
}

}  // namespace tavo
