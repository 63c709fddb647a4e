// libFuzzer target: the validity test and the peek's printed form over
// arbitrary 512-byte records.
//
// Each input is used twice: as it is (mostly refused by the validity test),
// and repaired into a valid record (magic letters and checksum put in), so
// the printed form sees every possible name, way and factor. Properties that
// must hold for every record abort the run when they break.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "record.h"

namespace {

using tavo::Record;

void require(bool condition) {
  if (!condition) std::abort();
}

void check_printed_form(Record record) {
  const Record scrambled = record;
  tavo::unscramble_name(record);
  Record again = record;
  tavo::scramble_name(again);
  require(again == scrambled);

  const std::string line = tavo::printed_form(record);
  require(line.compare(0, 6, "tavo: ") == 0);
  require(line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0);
  // "tavo: " + checksum (4) + " t a " + name (255) + " " + way (3) + " " +
  // factor (2) + " v o" + "\r\n": nothing from past the record.
  require(line.size() <= 6 + 4 + 5 + tavo::kNameSize + 1 + 3 + 1 + 2 + 4 + 2);
  // The name comes from the file: no control byte may reach the console.
  // The magic letters are printed as they are, so only the name is checked.
  const std::size_t after_checksum = line.find(' ', 6);
  require(after_checksum != std::string::npos);
  const std::size_t name_start = after_checksum + 4;
  std::size_t name_length = 0;
  while (name_length < tavo::kNameSize && record[tavo::kNameOffset + name_length] != 0) {
    ++name_length;
  }
  for (std::size_t i = 0; i < name_length; ++i) {
    const auto c = static_cast<unsigned char>(line[name_start + 1 + i]);
    require(c >= 0x20 && c != 0x7F);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Record record{};
  std::memcpy(record.data(), data, std::min(size, record.size()));

  if (tavo::check_header(record)) {
    check_printed_form(record);
  }

  Record repaired = record;
  repaired[tavo::kMagic1Offset] = 't';
  repaired[tavo::kMagic2Offset] = 'a';
  repaired[tavo::kMagic3Offset] = 'v';
  repaired[tavo::kMagic4Offset] = 'o';
  const std::uint16_t sum = tavo::record_checksum(repaired);
  repaired[0] = static_cast<std::uint8_t>(sum & 0xFF);
  repaired[1] = static_cast<std::uint8_t>(sum >> 8);
  require(tavo::check_header(repaired));
  check_printed_form(repaired);
  return 0;
}
