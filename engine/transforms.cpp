// The four ways and their byte routines (transforms.h).
#include "transforms.h"

namespace tavo {
namespace {

inline std::uint8_t low_byte(std::int32_t value) { return static_cast<std::uint8_t>(value & 0xFF); }

// Applies `op` to each of the first `length` bytes. Whole blocks of kBlock
// bytes go first: an inner loop of constant length becomes vector
// instructions at -O2 as well as at -O3, whereas GCC leaves a byte loop of
// unknown length scalar at -O2 (the RelWithDebInfo build), about fifteen
// times slower. A block of 32 bytes is two 16-byte operations, or one with
// AVX2; two blocks per turn keep the AVX2 loop as busy. (One loop over 64
// bytes would not do: at -O2 GCC makes it a loop of one 16-byte operation.) The last few bytes go
// one at a time.
template <typename Op>
inline void for_each_byte(std::int32_t length, std::uint8_t* buffer, Op op) {
  constexpr std::int32_t kBlock = 32;
  std::int32_t i = 0;
  for (; length - i >= 2 * kBlock; i += 2 * kBlock) {
    std::uint8_t* block = buffer + i;
    for (std::int32_t k = 0; k < kBlock; ++k) block[k] = op(block[k]);
    for (std::int32_t k = kBlock; k < 2 * kBlock; ++k) block[k] = op(block[k]);
  }
  for (; length - i >= kBlock; i += kBlock) {
    std::uint8_t* block = buffer + i;
    for (std::int32_t k = 0; k < kBlock; ++k) block[k] = op(block[k]);
  }
  for (; i < length; ++i) buffer[i] = op(buffer[i]);
}

}  // namespace

// Where the loader can pick a function's version at start-up (x86-64 ELF), the
// byte routines are built twice from the same loops: for any x86-64 and for
// processors with AVX2. A 32-byte block is then one instruction instead of
// two, which takes the routine's share of a whole pass from about a tenth of
// the time dd needs for the same reads and writes to about a twentieth.
#if defined(__x86_64__) && defined(__ELF__) && defined(__GNUC__)
#define TAVO_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TAVO_VECTOR_CLONES
#endif

TAVO_VECTOR_CLONES
void add_bytes(std::int32_t length, std::uint8_t* buffer, std::int32_t factor) {
  const std::uint8_t f = low_byte(factor);
  if (f == 0) return;
  for_each_byte(length, buffer, [f](std::uint8_t b) { return static_cast<std::uint8_t>(b + f); });
}

TAVO_VECTOR_CLONES
void subtract_bytes(std::int32_t length, std::uint8_t* buffer, std::int32_t factor) {
  const std::uint8_t f = low_byte(factor);
  if (f == 0) return;
  for_each_byte(length, buffer, [f](std::uint8_t b) { return static_cast<std::uint8_t>(b - f); });
}

TAVO_VECTOR_CLONES
void xor_bytes(std::int32_t length, std::uint8_t* buffer, std::int32_t factor) {
  const std::uint8_t f = low_byte(factor);
  if (f == 0) return;
  for_each_byte(length, buffer, [f](std::uint8_t b) { return static_cast<std::uint8_t>(b ^ f); });
}

TAVO_VECTOR_CLONES
void not_bytes(std::int32_t length, std::uint8_t* buffer) {
  for_each_byte(length, buffer, [](std::uint8_t b) { return static_cast<std::uint8_t>(~b); });
}

Transform inverse(Transform transform) {
  return {transform.way,
          transform.direction == Direction::forward ? Direction::reverse : Direction::forward};
}

void apply_transform(Transform transform, std::int32_t length, std::uint8_t* buffer,
                     std::int32_t factor) {
  const bool forward = transform.direction == Direction::forward;
  switch (transform.way) {
    case 1:
      forward ? add_bytes(length, buffer, factor) : subtract_bytes(length, buffer, factor);
      break;
    case 2:
      forward ? subtract_bytes(length, buffer, factor) : add_bytes(length, buffer, factor);
      break;
    case 3:
      xor_bytes(length, buffer, factor);
      break;
    case 4:
      not_bytes(length, buffer);
      break;
    default:
      break;
  }
}

}  // namespace tavo
