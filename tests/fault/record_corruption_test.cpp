// Every single-byte change of a valid record must be refused: by the validity
// test for all 255 other values at each of the 512 offsets, and by "de" and
// the peek on a real file, which must stay byte for byte as it was.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "record.h"
#include "operations.h"
#include "test_support.h"

namespace tavo {
namespace {

using test::Bytes;
using test::Captured;
using test::pattern;
using test::ScratchFile;

constexpr std::int32_t kWay = 2;
constexpr std::int32_t kFactor = 77;

Record valid_record() {
  Record record{};
  build_header("C:\\docs\\report.doc", kWay, kFactor, record);
  return record;
}

TEST(RecordCorruption, ValidRecordIsAcceptedAsBuilt) {
  EXPECT_TRUE(check_header(valid_record()));
}

TEST(RecordCorruption, EveryOtherValueAtEveryOffsetIsRefused) {
  const Record good = valid_record();
  int accepted = 0;
  for (std::size_t offset = 0; offset < kRecordSize; ++offset) {
    for (int delta = 1; delta < 256; ++delta) {
      Record bad = good;
      bad[offset] = static_cast<std::uint8_t>(bad[offset] + delta);
      if (check_header(bad)) {
        ++accepted;
        ADD_FAILURE() << "offset " << offset << " changed by " << delta << " still valid";
      }
    }
  }
  EXPECT_EQ(accepted, 0);
}

// The values a damaged byte takes in the file-level sweep: one bit, the top
// bit, all bits, and a byte that is zero or 't' where it was not.
std::vector<std::uint8_t> damaged_values(std::uint8_t old) {
  std::vector<std::uint8_t> values = {static_cast<std::uint8_t>(old ^ 0x01),
                                      static_cast<std::uint8_t>(old ^ 0x80),
                                      static_cast<std::uint8_t>(~old)};
  if (old != 0) values.push_back(0);
  if (old != 't') values.push_back('t');
  return values;
}

TEST(RecordCorruption, DeAndPeekRefuseEveryDamagedOffsetAndLeaveTheFile) {
  const std::string path = "corrupt.bin";
  const Bytes data = pattern(700, 99);
  Bytes encrypted = data;
  {
    ScratchFile file(path, data);
    Captured out;
    ASSERT_EQ(encrypt_with_header(path.c_str(), kWay, kFactor, out.sink()), Result::ok) << out.text;
    encrypted = file.bytes();
    ASSERT_EQ(encrypted.size(), data.size() + kRecordSize);
  }
  const std::size_t base = data.size();
  const std::string de_refusal = "unknown tavo?file(" + path + ")\r\n";
  for (std::size_t offset = 0; offset < kRecordSize; ++offset) {
    for (const std::uint8_t value : damaged_values(encrypted[base + offset])) {
      Bytes bad = encrypted;
      bad[base + offset] = value;
      ScratchFile file(path, bad);
      Captured de_out;
      EXPECT_EQ(decrypt_with_header(path.c_str(), kWay, kFactor, de_out.sink()), Result::failed)
          << "offset " << offset;
      EXPECT_EQ(de_out.text, de_refusal) << "offset " << offset;
      Captured peek_out;
      EXPECT_EQ(peek_header(path.c_str(), peek_out.sink()), Result::failed) << "offset " << offset;
      EXPECT_EQ(peek_out.text, "unknown tavo?file?\r\n") << "offset " << offset;
      ASSERT_EQ(file.bytes(), bad) << "file changed, offset " << offset;
    }
  }
}

// The same file with its record intact decrypts: the sweep above fails
// because of the damage, not because of the set-up.
TEST(RecordCorruption, UndamagedFileDecrypts) {
  const std::string path = "intact.bin";
  const Bytes data = pattern(700, 99);
  ScratchFile file(path, data);
  Captured out;
  ASSERT_EQ(encrypt_with_header(path.c_str(), kWay, kFactor, out.sink()), Result::ok);
  ASSERT_EQ(decrypt_with_header(path.c_str(), kWay, kFactor, out.sink()), Result::ok) << out.text;
  EXPECT_EQ(file.bytes(), data);
}

}  // namespace
}  // namespace tavo
