// The 512-byte record that "en" appends and "de" checks (record.h): built
// and read field by field.
#include "record.h"

#include <algorithm>
#include <cstdio>

#include "bytes.h"
#include "platform.h"
#include "transforms.h"

namespace tavo {
namespace {

std::uint8_t* name_field(Record& record) { return record.data() + kNameOffset; }

constexpr auto kNameLength = static_cast<std::int32_t>(kNameSize);

}  // namespace

NameField name_field_for(const char* path) {
  NameField field{};
  const std::string name = platform::record_name(path);
  std::copy_n(name.begin(), std::min(name.size(), kNameSize), field.begin());
  return field;
}

void build_record(const NameField& name, std::int32_t way, std::int32_t factor, Record& record) {
  record.fill(0);
  record[kMagic1Offset] = 't';
  record[kMagic2Offset] = 'a';
  record[kMagic3Offset] = 'v';
  record[kMagic4Offset] = 'o';
  record[kWayOffset] = static_cast<std::uint8_t>(way & 0xFF);
  record[kFactorOffset] = static_cast<std::uint8_t>(factor & 0xFF);
  std::copy(name.begin(), name.end(), record.begin() + kNameOffset);
  scramble_name(record);
  store_le16(record.data() + kChecksumOffset, record_checksum(record));
}

void build_header(const char* path, std::int32_t way, std::int32_t factor, Record& record) {
  build_record(name_field_for(path), way, factor, record);
}

std::uint16_t record_checksum(const Record& record) {
  std::uint32_t sum = 0;
  for (std::size_t i = kMagic1Offset; i < kRecordSize; i += 2) sum += load_le16(&record[i]);
  sum = (sum & 0xFFFF) + (sum >> 16);
  sum += sum >> 16;
  return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

void scramble_name(Record& record) {
  add_bytes(kNameLength, name_field(record), 1);
  xor_bytes(kNameLength, name_field(record), 1);
  subtract_bytes(kNameLength, name_field(record), 1);
  not_bytes(kNameLength, name_field(record));
}

void unscramble_name(Record& record) {
  not_bytes(kNameLength, name_field(record));
  add_bytes(kNameLength, name_field(record), 1);
  xor_bytes(kNameLength, name_field(record), 1);
  subtract_bytes(kNameLength, name_field(record), 1);
}

bool check_header(const Record& record) {
  if (record[kMagic1Offset] != 't' || record[kMagic2Offset] != 'a' ||
      record[kMagic3Offset] != 'v' || record[kMagic4Offset] != 'o') {
    return false;
  }
  return record_checksum(record) == load_le16(record.data() + kChecksumOffset);
}

std::string printed_form(const Record& record) {
  std::string name;
  for (std::size_t i = 0; i < kNameSize; ++i) {
    const std::uint8_t c = record[kNameOffset + i];
    if (c == 0) break;
    // The name comes from the file: keep terminal control sequences out.
    name.push_back(c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
  }
  char head[64];
  std::snprintf(head, sizeof head, "tavo: %X %c %c ",
                static_cast<unsigned>(load_le16(record.data() + kChecksumOffset)),
                record[kMagic1Offset], record[kMagic2Offset]);
  char tail[64];
  std::snprintf(tail, sizeof tail, " %d %x %c %c\r\n", static_cast<int>(record[kWayOffset]),
                static_cast<unsigned>(record[kFactorOffset]), record[kMagic3Offset],
                record[kMagic4Offset]);
  return head + platform::displayed_name(name) + tail;
}

}  // namespace tavo
