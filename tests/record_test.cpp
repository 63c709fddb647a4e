#include "record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform.h"

namespace tavo {
namespace {

std::uint16_t stored_checksum(const Record& r) {
  return static_cast<std::uint16_t>(r[0] | (r[1] << 8));
}

std::string name_field(const Record& r) {
  return std::string(reinterpret_cast<const char*>(&r[kNameOffset]), kNameSize);
}

struct KnownAnswer {
  const char* path;
  std::int32_t x;
  std::int32_t p;
  std::uint16_t checksum;
  const char* printed;
};

// Checksums and printed lines as the record's rules give them.
const KnownAnswer kKnownAnswers[] = {
    {"C:\\docs\\abc", 1, 1, 0x87E2, "tavo: 87E2 t a abc 1 1 v o\r\n"},
    {"C:\\docs\\abc", 3, 200, 0x851B, "tavo: 851B t a abc 3 c8 v o\r\n"},
};

TEST(Record, KnownAnswerVectors) {
  for (const KnownAnswer& k : kKnownAnswers) {
    Record r{};
    build_header(k.path, k.x, k.p, r);
    EXPECT_EQ(stored_checksum(r), k.checksum) << k.path;
    EXPECT_EQ(r[0], k.checksum & 0xFF);
    EXPECT_TRUE(check_header(r));
    unscramble_name(r);
    EXPECT_EQ(printed_form(r), k.printed);
  }
}

TEST(Record, LayoutOfABuiltRecord) {
  Record r{};
  build_header("C:\\docs\\abc", 1, 1, r);
  EXPECT_EQ(r[2], 't');
  EXPECT_EQ(r[3], 'a');
  EXPECT_EQ(r[261], 'v');
  EXPECT_EQ(r[262], 'o');
  EXPECT_EQ(r[4], 0x9D);
  EXPECT_EQ(r[5], 0x9E);
  EXPECT_EQ(r[6], 0x9B);
  for (std::size_t i = 7; i < kWayOffset; ++i) EXPECT_EQ(r[i], 0) << i;
  EXPECT_EQ(r[kWayOffset], 1);
  EXPECT_EQ(r[kFactorOffset], 1);
  for (std::size_t i = kReservedOffset; i < kRecordSize; ++i) EXPECT_EQ(r[i], 0) << i;
}

TEST(Record, AllZeroBodyHasChecksumFFFF) {
  Record r{};
  EXPECT_EQ(record_checksum(r), 0xFFFF);
}

TEST(Record, WayAndFactorKeepTheirLowByte) {
  Record r{};
  build_header("f", 257, 256, r);
  EXPECT_EQ(r[kWayOffset], 1);
  EXPECT_EQ(r[kFactorOffset], 0);
  build_header("f", -1, 511, r);
  EXPECT_EQ(r[kWayOffset], 0xFF);
  EXPECT_EQ(r[kFactorOffset], 0xFF);
}

struct NameCase {
  std::string path;
  std::string recorded;  // unscrambled name field, before its zero padding
};

#ifdef _WIN32
constexpr bool kSlashSeparates = true;
#else
constexpr bool kSlashSeparates = false;
#endif

TEST(Record, NameIsWhatFollowsTheLastSeparator) {
  const NameCase cases[] = {
      {"abc.txt", "abc.txt"},
      {"C:abc.txt", "C:abc.txt"},
      {"dir/abc.txt", kSlashSeparates ? "abc.txt" : "dir/abc.txt"},
      {"Z:/dir\\sub/report.doc", kSlashSeparates ? "report.doc" : "sub/report.doc"},
      {"C:\\dir\\", ""},
      {"a\\b\\c\\d.e", "d.e"},
      // 0x5C as the second byte of a double-byte character still separates.
      {std::string("\x81\x5C") + "x", "x"},
      {std::string(300, 'n'), std::string(255, 'n')},
      {"\\" + std::string(255, 'k'), std::string(255, 'k')},
  };
  for (const NameCase& c : cases) {
    Record r{};
    build_header(c.path.c_str(), 1, 1, r);
    unscramble_name(r);
    std::string expected = c.recorded;
    expected.resize(kNameSize, '\0');
    EXPECT_EQ(name_field(r), expected) << c.path;
  }
}

TEST(Record, ScrambleRulesPerByte) {
  // 0 and 255 stay, odd c becomes 254 - c, even c (2..254) becomes 256 - c.
  Record r{};
  for (std::size_t i = 0; i < kNameSize; ++i) r[kNameOffset + i] = static_cast<std::uint8_t>(i);
  scramble_name(r);
  for (std::size_t c = 0; c < kNameSize; ++c) {
    const std::size_t expected = c == 0 ? 0 : (c % 2 == 1 ? 254 - c : 256 - c);
    EXPECT_EQ(r[kNameOffset + c], expected) << c;
  }
}

TEST(Record, UnscrambleRestoresEveryByteValue) {
  for (int value = 0; value < 256; ++value) {
    Record r{};
    r.fill(static_cast<std::uint8_t>(value));
    const Record before = r;
    scramble_name(r);
    unscramble_name(r);
    ASSERT_EQ(r, before) << value;
  }
}

TEST(Record, EverySingleByteChangeIsRejected) {
  Record good{};
  build_header("C:\\docs\\report.doc", 3, 42, good);
  ASSERT_TRUE(check_header(good));
  for (std::size_t offset = 0; offset < kRecordSize; ++offset) {
    for (int delta : {1, 0x80, 0xFF}) {
      Record bad = good;
      bad[offset] = static_cast<std::uint8_t>(bad[offset] + delta);
      EXPECT_FALSE(check_header(bad)) << "offset " << offset << " delta " << delta;
    }
  }
}

TEST(Record, ReservedBytesNeedNotBeZeroWhenTheChecksumAgrees) {
  Record r{};
  build_header("x", 2, 9, r);
  r[400] = 0x33;
  const std::uint16_t sum = record_checksum(r);
  r[0] = static_cast<std::uint8_t>(sum & 0xFF);
  r[1] = static_cast<std::uint8_t>(sum >> 8);
  EXPECT_TRUE(check_header(r));
}

TEST(Record, PrintedFormOfAFullNameStopsAtTheFieldAndHidesControlBytes) {
  Record r{};
  build_header(std::string(255, 'z').c_str(), 4, 10, r);
  unscramble_name(r);
  EXPECT_EQ(
      printed_form(r), "tavo: " +
                           [&] {
                             char hex[8];
                             std::snprintf(hex, sizeof hex, "%X", stored_checksum(r));
                             return std::string(hex);
                           }() +
                           " t a " + std::string(255, 'z') + " 4 a v o\r\n");

  // Bytes as a crafted file may hold them; bytes above 0x7F are text in the
  // code page of whoever wrote the record.
  build_header("x", 1, 255, r);
  unscramble_name(r);
  const std::string crafted = "a\x1b[2Jb\x7f\x01\x1f\x80\xff";
  std::copy(crafted.begin(), crafted.end(), r.begin() + kNameOffset);
  const std::string line = printed_form(r);
  const std::string shown = " a?[2Jb???" + platform::displayed_name("\x80\xff") + " 1 ff v o\r\n";
  EXPECT_NE(line.find(shown), std::string::npos) << line;
}

}  // namespace
}  // namespace tavo
