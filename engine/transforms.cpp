#include "transforms.h"

namespace tavo {
namespace {

// Plain loops over the low byte: the compiler vectorises them.
inline std::uint8_t low_byte(std::int32_t value) { return static_cast<std::uint8_t>(value & 0xFF); }

}  // namespace

void add_bytes(std::int32_t length, std::uint8_t* buffer, std::int32_t factor) {
  const std::uint8_t f = low_byte(factor);
  if (f == 0) return;
  for (std::int32_t i = 0; i < length; ++i) buffer[i] = static_cast<std::uint8_t>(buffer[i] + f);
}

void subtract_bytes(std::int32_t length, std::uint8_t* buffer, std::int32_t factor) {
  const std::uint8_t f = low_byte(factor);
  if (f == 0) return;
  for (std::int32_t i = 0; i < length; ++i) buffer[i] = static_cast<std::uint8_t>(buffer[i] - f);
}

void xor_bytes(std::int32_t length, std::uint8_t* buffer, std::int32_t factor) {
  const std::uint8_t f = low_byte(factor);
  if (f == 0) return;
  for (std::int32_t i = 0; i < length; ++i) buffer[i] = static_cast<std::uint8_t>(buffer[i] ^ f);
}

void not_bytes(std::int32_t length, std::uint8_t* buffer) {
  for (std::int32_t i = 0; i < length; ++i) buffer[i] = static_cast<std::uint8_t>(~buffer[i]);
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
