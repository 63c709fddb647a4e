#include "transforms.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace tavo {
namespace {

using test::Bytes;

struct ByteCase {
  int way;
  Direction direction;
  std::int32_t factor;
  std::uint8_t in;
  std::uint8_t out;
};

// Expected values worked out by hand from the table of ways.
const ByteCase kByteCases[] = {
    {1, Direction::forward, 1, 0xFF, 0x00},   {1, Direction::reverse, 1, 0x00, 0xFF},
    {2, Direction::forward, 1, 0x00, 0xFF},   {2, Direction::reverse, 1, 0xFF, 0x00},
    {3, Direction::forward, 0x0F, 0xF0, 0xFF}, {3, Direction::reverse, 0x0F, 0xFF, 0xF0},
    {4, Direction::forward, 7, 0x5A, 0xA5},   {4, Direction::reverse, 99, 0xA5, 0x5A},
    {1, Direction::forward, 256, 0x42, 0x42}, {2, Direction::forward, 256, 0x42, 0x42},
    {3, Direction::forward, 256, 0x42, 0x42}, {4, Direction::forward, 256, 0x42, 0xBD},
    {1, Direction::forward, 257, 0x42, 0x43}, {1, Direction::forward, -1, 0x01, 0x00},
    {2, Direction::forward, 200, 0x10, 0x48}, {1, Direction::forward, 200, 0x80, 0x48},
};

TEST(Transforms, EachWayAndDirectionOnOneByte) {
  for (const ByteCase& c : kByteCases) {
    std::uint8_t b = c.in;
    apply_transform({c.way, c.direction}, 1, &b, c.factor);
    EXPECT_EQ(b, c.out) << "way " << c.way << " factor " << c.factor;
  }
}

TEST(Transforms, ReverseUndoesForwardForEveryByteAndFactor) {
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  for (int way = 1; way <= 4; ++way) {
    for (std::int32_t factor = 0; factor < 256; ++factor) {
      Bytes bytes = all;
      const Transform t{way, Direction::forward};
      apply_transform(t, 256, bytes.data(), factor);
      apply_transform(inverse(t), 256, bytes.data(), factor);
      ASSERT_EQ(bytes, all) << "way " << way << " factor " << factor;
    }
  }
}

TEST(Transforms, LengthZeroOrNegativeChangesNothing) {
  Bytes bytes = {1, 2, 3};
  add_bytes(0, bytes.data(), 5);
  subtract_bytes(-1, bytes.data(), 5);
  xor_bytes(-100, bytes.data(), 5);
  not_bytes(0, bytes.data());
  EXPECT_EQ(bytes, (Bytes{1, 2, 3}));
}

TEST(Transforms, OnlyTheGivenLengthChanges) {
  Bytes bytes(100, 0x10);
  xor_bytes(37, bytes.data(), 0x01);
  for (std::size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], i < 37 ? 0x11 : 0x10) << i;
}

// The routines take whole blocks of bytes first and the rest one at a time:
// every length from 0 to a few blocks, so each split between the two is hit,
// checked byte by byte against the arithmetic of each way, with a guard byte
// past the end that must keep its value.
TEST(Transforms, EveryLengthAcrossTheBlockSplitMatchesTheByteRule) {
  constexpr int kMaxLength = 140;  // two 64-byte turns, a 32-byte block and a tail
  constexpr std::uint8_t kGuard = 0x77;
  const std::int32_t factor = 0x1C3;  // low byte 0xC3
  struct Way {
    const char* name;
    void (*run)(std::int32_t, std::uint8_t*, std::int32_t);
    int (*rule)(int);
  };
  const Way ways[] = {
      {"add", add_bytes, [](int b) { return (b + 0xC3) % 256; }},
      {"subtract", subtract_bytes, [](int b) { return (b - 0xC3 + 256) % 256; }},
      {"xor", xor_bytes, [](int b) { return b ^ 0xC3; }},
      {"not", [](std::int32_t n, std::uint8_t* b, std::int32_t) { not_bytes(n, b); },
       [](int b) { return 255 - b; }},
  };
  for (const Way& way : ways) {
    for (int length = 0; length <= kMaxLength; ++length) {
      Bytes bytes(static_cast<std::size_t>(length) + 1, kGuard);
      for (int i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 37 + 11);
      way.run(length, bytes.data(), factor);
      for (int i = 0; i < length; ++i) {
        ASSERT_EQ(bytes[i], way.rule((i * 37 + 11) % 256))
            << way.name << " length " << length << " byte " << i;
      }
      ASSERT_EQ(bytes[length], kGuard) << way.name << " wrote past length " << length;
    }
  }
}

}  // namespace
}  // namespace tavo
