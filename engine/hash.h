// The 64-bit hashes of the journal. Version 1 of the journal hashed with a
// hash of its own; version 2, which new runs write, hashes with XXH3-64, the
// fastest well-kept hash there is for pieces of 512 bytes. A run found in a
// file keeps the version it was begun with, so a file interrupted by an
// older build still recovers.
#ifndef TAVO_HASH_H
#define TAVO_HASH_H

#include <cstddef>
#include <cstdint>

namespace tavo {

inline constexpr std::uint8_t kFirstVersion = 1;
inline constexpr std::uint8_t kCurrentVersion = 2;

inline bool is_known_version(std::uint8_t version) {
  return version == kFirstVersion || version == kCurrentVersion;
}

// The hash of `count` bytes under a known version of the journal.
std::uint64_t hash_bytes(std::uint8_t version, const std::uint8_t* bytes, std::size_t count);

// XXH3-64 built for the instruction sets this machine has (chosen once, at
// the first call), and built for the baseline, for tests that compare them.
std::uint64_t xxh3(const void* bytes, std::size_t count);
std::uint64_t xxh3_baseline(const void* bytes, std::size_t count);

}  // namespace tavo

#endif  // TAVO_HASH_H
