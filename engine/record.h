// The 512-byte encryption record that "en" appends to a file.
//
//   offset  size  field
//        0     2  checksum of bytes 2..511, unsigned 16-bit little-endian
//        2     1  't'
//        3     1  'a'
//        4   255  name of the file (platform::record_name), zero-padded,
//                 then scrambled
//      259     1  way (low byte of the way given to "en")
//      260     1  factor (low byte of the factor given to "en")
//      261     1  'v'
//      262     1  'o'
//      263   249  reserved, zero
//
// The record always occupies the last 512 bytes of an encrypted file; the
// data in front of it is the file's transformed content.
#ifndef TAVO_RECORD_H
#define TAVO_RECORD_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tavo {

inline constexpr std::size_t kRecordSize = 512;
inline constexpr std::size_t kChecksumOffset = 0;
inline constexpr std::size_t kMagic1Offset = 2;
inline constexpr std::size_t kMagic2Offset = 3;
inline constexpr std::size_t kNameOffset = 4;
inline constexpr std::size_t kNameSize = 255;
inline constexpr std::size_t kWayOffset = 259;
inline constexpr std::size_t kFactorOffset = 260;
inline constexpr std::size_t kMagic3Offset = 261;
inline constexpr std::size_t kMagic4Offset = 262;
inline constexpr std::size_t kReservedOffset = 263;
inline constexpr std::size_t kReservedSize = 249;
static_assert(kNameOffset + kNameSize == kWayOffset);
static_assert(kReservedOffset + kReservedSize == kRecordSize);

using Record = std::array<std::uint8_t, kRecordSize>;

using NameField = std::array<std::uint8_t, kNameSize>;

// The name field of the record for a file at `path`, before scrambling: the
// name platform::record_name gives, its terminating zero while it fits, then
// zeros.
NameField name_field_for(const char* path);

// Fills every byte of `record` from an unscrambled name field, a way and a
// factor (only their low bytes are stored).
void build_record(const NameField& name, std::int32_t way, std::int32_t factor, Record& record);

// build_record with the name field of `path`.
void build_header(const char* path, std::int32_t way, std::int32_t factor, Record& record);

// The internet checksum (one's complement sum of little-endian 16-bit words)
// over bytes 2..511.
std::uint16_t record_checksum(const Record& record);

// Change the 255 bytes of the name field in place; each undoes the other.
void scramble_name(Record& record);
void unscramble_name(Record& record);

// True when the magic letters are in place and the stored checksum matches.
bool check_header(const Record& record);

// The peek's line for a record whose name has been unscrambled. Control bytes
// of the name are shown as '?', a name filling the whole field ends there,
// and the name is shown as platform::displayed_name gives it.
std::string printed_form(const Record& record);

}  // namespace tavo

#endif  // TAVO_RECORD_H
