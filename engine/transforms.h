// The four ways, the byte routines that apply them, and the sizes of the
// chunked pass.
#ifndef TAVO_TRANSFORMS_H
#define TAVO_TRANSFORMS_H

#include <cstddef>
#include <cstdint>

namespace tavo {

// Every read of a pass asks for this many bytes. An interrupted pass leaves a
// whole number of these chunks transformed, which the recovery advice in the
// README counts on.
inline constexpr std::int32_t kChunkSize = 65534;
// The one buffer each transforming operation owns.
inline constexpr std::size_t kChunkBufferSize = 65536;
static_assert(static_cast<std::size_t>(kChunkSize) <= kChunkBufferSize);

// Each routine changes the first `length` bytes of `buffer` in place, using
// only the low byte of `factor`; a length of 0 or less changes nothing.
void add_bytes(std::int32_t length, std::uint8_t* buffer, std::int32_t factor);
void subtract_bytes(std::int32_t length, std::uint8_t* buffer, std::int32_t factor);
void xor_bytes(std::int32_t length, std::uint8_t* buffer, std::int32_t factor);
void not_bytes(std::int32_t length, std::uint8_t* buffer);

enum class Direction { forward, reverse };

// A way (1 add, 2 subtract, 3 xor, 4 not) applied forward (encrypting) or in
// reverse (decrypting).
struct Transform {
  int way;
  Direction direction;
};

inline bool is_known_way(std::int64_t way) { return way >= 1 && way <= 4; }

// The transform that undoes `transform`.
Transform inverse(Transform transform);

// Applies a transform of a known way to a buffer.
void apply_transform(Transform transform, std::int32_t length, std::uint8_t* buffer,
                     std::int32_t factor);

}  // namespace tavo

#endif  // TAVO_TRANSFORMS_H
