// Little-endian loads and stores for the byte formats on disk (never a
// struct cast), and a rotation for the hashes.
#ifndef TAVO_BYTES_H
#define TAVO_BYTES_H

#include <cstdint>
#include <cstring>

namespace tavo {

inline std::uint16_t load_le16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline void store_le16(std::uint8_t* bytes, std::uint16_t value) {
  bytes[0] = static_cast<std::uint8_t>(value & 0xFF);
  bytes[1] = static_cast<std::uint8_t>(value >> 8);
}

inline std::uint64_t load_le64(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  std::memcpy(&value, bytes, sizeof value);  // one load on little-endian hosts
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap64(value);
#endif
  return value;
}

inline void store_le64(std::uint8_t* bytes, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint64_t rotate_left(std::uint64_t value, int bits) {
  return (value << bits) | (value >> (64 - bits));
}

}  // namespace tavo

#endif  // TAVO_BYTES_H
