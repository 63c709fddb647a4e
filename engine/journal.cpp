#include "journal.h"

#include <cstring>

#include "transforms.h"

namespace tavo {
namespace {

constexpr char kMagic[] = "tavo-run";
constexpr std::size_t kHashOffset = 8;
constexpr std::size_t kSequenceOffset = 16;
constexpr std::size_t kKeywordOffset = 24;
constexpr std::size_t kRunWayOffset = 25;
constexpr std::size_t kRunFactorOffset = 26;
constexpr std::size_t kVersionOffset = 27;
constexpr std::size_t kDataLengthOffset = 32;
constexpr std::size_t kSizeBeforeOffset = 40;
constexpr std::size_t kRunSizeOffset = 48;
constexpr std::size_t kZoneSizeOffset = 56;
constexpr std::size_t kAreaSizeOffset = 64;
constexpr std::size_t kLoOffset = 72;
constexpr std::size_t kMidOffset = 80;
constexpr std::size_t kHiOffset = 88;
constexpr std::size_t kAreaLowOffset = 96;
constexpr std::size_t kAreaHighOffset = 97;
constexpr std::size_t kAreaHashLowOffset = 104;
constexpr std::size_t kAreaHashHighOffset = 112;
constexpr std::size_t kRecordHashOffset = 120;
constexpr std::size_t kRunNameOffset = 128;
static_assert(kRunNameOffset + kNameSize <= kSlotSize);
constexpr std::uint8_t kVersion = 1;

std::uint64_t load_le64(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  std::memcpy(&value, bytes, sizeof value);  // one load on little-endian hosts
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap64(value);
#endif
  return value;
}

void store_le64(std::uint8_t* bytes, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::int64_t align_up(std::int64_t value, std::int64_t unit) {
  return (value + unit - 1) / unit * unit;
}

std::uint64_t rotate_left(std::uint64_t value, int bits) {
  return (value << bits) | (value >> (64 - bits));
}

std::uint64_t slot_hash(const Slot& slot) {
  return hash_bytes(slot.data() + kSequenceOffset, kSlotSize - kSequenceOffset);
}

}  // namespace

const char* keyword_text(RunKeyword keyword) {
  switch (keyword) {
    case RunKeyword::en:
      return "en";
    case RunKeyword::de:
      return "de";
    case RunKeyword::rxen:
      return "rxen";
    case RunKeyword::rxde:
      return "rxde";
  }
  return "";
}

RunKeyword inverse_keyword(RunKeyword keyword) {
  switch (keyword) {
    case RunKeyword::en:
      return RunKeyword::de;
    case RunKeyword::de:
      return RunKeyword::en;
    case RunKeyword::rxen:
      return RunKeyword::rxde;
    case RunKeyword::rxde:
      return RunKeyword::rxen;
  }
  return keyword;
}

std::uint64_t hash_bytes(const std::uint8_t* bytes, std::size_t count) {
  // Four independent multiply-rotate lanes over 8-byte words, so the
  // multiplications overlap; then a full avalanche of the lanes and length.
  constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
  constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
  std::uint64_t lanes[4] = {kPrime1, kPrime2, ~kPrime1, ~kPrime2};
  std::size_t i = 0;
  for (; i + 32 <= count; i += 32) {
    for (int lane = 0; lane < 4; ++lane) {
      const std::uint64_t word = load_le64(bytes + i + 8 * lane);
      lanes[lane] = rotate_left((lanes[lane] ^ word) * kPrime1, 31) * kPrime2;
    }
  }
  for (; i + 8 <= count; i += 8) {
    lanes[0] = rotate_left((lanes[0] ^ load_le64(bytes + i)) * kPrime1, 31) * kPrime2;
  }
  std::uint64_t tail = 0;
  for (int shift = 0; i < count; ++i, shift += 8) {
    tail |= static_cast<std::uint64_t>(bytes[i]) << shift;
  }
  std::uint64_t h = static_cast<std::uint64_t>(count) * kPrime1 ^ tail;
  for (std::uint64_t lane : lanes) h = rotate_left(h ^ (lane * kPrime2), 27) * kPrime1 + kPrime2;
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return h;
}

std::int64_t piece_end(std::int64_t pos, std::int64_t end) {
  const std::int64_t sector_end = (pos / kSectorSize + 1) * kSectorSize;
  const std::int64_t chunk_end = (pos / kChunkSize + 1) * kChunkSize;
  const std::int64_t cut = sector_end < chunk_end ? sector_end : chunk_end;
  return cut < end ? cut : end;
}

std::int64_t piece_count(std::int64_t begin, std::int64_t end) {
  if (end <= begin) return 0;
  // Sector bounds inside the range, chunk bounds inside it that are not
  // sector bounds too, plus one.
  const auto bounds = [begin, end](std::int64_t unit) { return (end - 1) / unit - begin / unit; };
  const std::int64_t common = static_cast<std::int64_t>(kSectorSize) * kChunkSize / 2;  // lcm
  return 1 + bounds(kSectorSize) + bounds(kChunkSize) - bounds(common);
}

std::int64_t RunPlan::area_start() const {
  const bool with_record = keyword == RunKeyword::en || keyword == RunKeyword::de;
  return align_up(data_length + (with_record ? static_cast<std::int64_t>(kRecordSize) : 0),
                  kSectorSize);
}

std::int64_t RunPlan::area_size() const {
  // A zone of z bytes has at most z / 512 + z / chunk + 2 pieces.
  const std::int64_t zone = data_length < zone_size ? data_length : zone_size;
  return align_up(
      (zone / kSectorSize + zone / kChunkSize + 2) * static_cast<std::int64_t>(kPieceHashSize),
      kSectorSize);
}

std::int64_t RunPlan::area_offset(int area) const { return area_start() + area * area_size(); }

std::int64_t RunPlan::slot_offset(int slot) const {
  return area_offset(kHashAreas) + slot * static_cast<std::int64_t>(kSlotSize);
}

std::int64_t RunPlan::run_size() const { return slot_offset(2); }

RunPlan make_plan(RunKeyword keyword, int way, std::uint8_t factor, std::int64_t data_length,
                  std::int64_t size_before, std::int64_t zone_size) {
  RunPlan plan{};
  plan.keyword = keyword;
  plan.way = way;
  plan.factor = factor;
  plan.data_length = data_length;
  plan.size_before = size_before;
  plan.zone_size = zone_size;
  return plan;
}

void encode_slot(const RunPlan& plan, const RunState& state, Slot& slot) {
  slot.fill(0);
  std::memcpy(slot.data(), kMagic, 8);
  store_le64(&slot[kSequenceOffset], state.sequence);
  slot[kKeywordOffset] = static_cast<std::uint8_t>(plan.keyword);
  slot[kRunWayOffset] = static_cast<std::uint8_t>(plan.way);
  slot[kRunFactorOffset] = plan.factor;
  slot[kVersionOffset] = kVersion;
  store_le64(&slot[kDataLengthOffset], static_cast<std::uint64_t>(plan.data_length));
  store_le64(&slot[kSizeBeforeOffset], static_cast<std::uint64_t>(plan.size_before));
  store_le64(&slot[kRunSizeOffset], static_cast<std::uint64_t>(plan.run_size()));
  store_le64(&slot[kZoneSizeOffset], static_cast<std::uint64_t>(plan.zone_size));
  store_le64(&slot[kAreaSizeOffset], static_cast<std::uint64_t>(plan.area_size()));
  store_le64(&slot[kLoOffset], static_cast<std::uint64_t>(state.lo));
  store_le64(&slot[kMidOffset], static_cast<std::uint64_t>(state.mid));
  store_le64(&slot[kHiOffset], static_cast<std::uint64_t>(state.hi));
  slot[kAreaLowOffset] = static_cast<std::uint8_t>(state.area_low);
  slot[kAreaHighOffset] = static_cast<std::uint8_t>(state.area_high);
  store_le64(&slot[kAreaHashLowOffset], state.area_hash_low);
  store_le64(&slot[kAreaHashHighOffset], state.area_hash_high);
  store_le64(&slot[kRecordHashOffset], plan.record_hash);
  std::memcpy(&slot[kRunNameOffset], plan.name.data(), kNameSize);
  store_le64(&slot[kHashOffset], slot_hash(slot));
}

std::optional<std::pair<RunPlan, RunState>> decode_slot(const Slot& slot, std::int64_t file_size) {
  if (std::memcmp(slot.data(), kMagic, 8) != 0 || slot[kVersionOffset] != kVersion ||
      load_le64(&slot[kHashOffset]) != slot_hash(slot)) {
    return std::nullopt;
  }
  const auto field = [&slot](std::size_t offset) {
    return static_cast<std::int64_t>(load_le64(&slot[offset]));
  };
  const int keyword = slot[kKeywordOffset];
  if (keyword < 1 || keyword > 4 || slot[kRunWayOffset] < 1 || slot[kRunWayOffset] > 4) {
    return std::nullopt;
  }
  RunPlan plan =
      make_plan(static_cast<RunKeyword>(keyword), slot[kRunWayOffset], slot[kRunFactorOffset],
                field(kDataLengthOffset), field(kSizeBeforeOffset), field(kZoneSizeOffset));
  plan.record_hash = load_le64(&slot[kRecordHashOffset]);
  std::memcpy(plan.name.data(), &slot[kRunNameOffset], kNameSize);
  RunState state;
  state.sequence = load_le64(&slot[kSequenceOffset]);
  state.lo = field(kLoOffset);
  state.mid = field(kMidOffset);
  state.hi = field(kHiOffset);
  state.area_low = slot[kAreaLowOffset];
  state.area_high = slot[kAreaHighOffset];
  state.area_hash_low = load_le64(&slot[kAreaHashLowOffset]);
  state.area_hash_high = load_le64(&slot[kAreaHashHighOffset]);

  // Bound to this file: its size must be the one the run gave it, and every
  // field must fit the others (a hash match alone could be a copy of a slot
  // from another file inside this one's data).
  const std::int64_t length = plan.data_length;
  if (length < 0 || plan.zone_size <= 0 || field(kRunSizeOffset) != file_size ||
      plan.run_size() != file_size || field(kAreaSizeOffset) != plan.area_size() ||
      !(0 <= state.lo && state.lo <= state.mid && state.mid <= state.hi && state.hi <= length) ||
      state.area_low >= kHashAreas || state.area_high >= kHashAreas ||
      state.area_low == state.area_high) {
    return std::nullopt;
  }
  const std::int64_t expected_before =
      plan.keyword == RunKeyword::de ? length + static_cast<std::int64_t>(kRecordSize) : length;
  if (plan.size_before != expected_before) return std::nullopt;
  const std::int64_t max_pieces = plan.area_size() / static_cast<std::int64_t>(kPieceHashSize);
  if (piece_count(state.lo, state.mid) > max_pieces ||
      piece_count(state.mid, state.hi) > max_pieces) {
    return std::nullopt;
  }
  return std::make_pair(plan, state);
}

void store_piece_hash(std::uint8_t* bytes, std::uint64_t fact) { store_le64(bytes, fact); }

std::uint64_t load_piece_hash(const std::uint8_t* bytes) { return load_le64(bytes); }

void AreaHash::add_block(const std::uint8_t* bytes, std::size_t count) {
  state_ = rotate_left(state_ ^ hash_bytes(bytes, count), 29) * 0x9E3779B185EBCA87ull;
  total_ += count;
}

std::uint64_t AreaHash::value() const {
  std::uint8_t tail[16];
  store_le64(tail, state_);
  store_le64(tail + 8, total_);
  return hash_bytes(tail, sizeof tail);
}

}  // namespace tavo
