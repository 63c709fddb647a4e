// The slot codec of the journal (journal.h); what the journal is for is in
// run.h.
#include "journal.h"

#include <cstring>

#include "bytes.h"
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

std::int64_t align_up(std::int64_t value, std::int64_t unit) {
  return (value + unit - 1) / unit * unit;
}

std::uint64_t slot_hash(std::uint8_t version, const Slot& slot) {
  return hash_bytes(version, slot.data() + kSequenceOffset, kSlotSize - kSequenceOffset);
}

}  // namespace

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
  // "en" and "de" keep room for the record between the data and the areas.
  const bool room = command().record != RecordUse::none;
  const std::int64_t room_size = room ? static_cast<std::int64_t>(kRecordSize) : 0;
  return align_up(data_length + room_size, kSectorSize);
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

void encode_slot(const RunPlan& plan, const RunState& state, Slot& slot) {
  slot.fill(0);
  std::memcpy(slot.data(), kMagic, 8);
  store_le64(&slot[kSequenceOffset], state.sequence);
  slot[kKeywordOffset] = static_cast<std::uint8_t>(plan.keyword);
  slot[kRunWayOffset] = static_cast<std::uint8_t>(plan.way);
  slot[kRunFactorOffset] = plan.factor;
  slot[kVersionOffset] = plan.version;
  const auto store = [&slot](std::size_t offset, std::int64_t value) {
    store_le64(&slot[offset], static_cast<std::uint64_t>(value));
  };
  store(kDataLengthOffset, plan.data_length);
  store(kSizeBeforeOffset, plan.size_before);
  store(kRunSizeOffset, plan.run_size());
  store(kZoneSizeOffset, plan.zone_size);
  store(kAreaSizeOffset, plan.area_size());
  store(kLoOffset, state.low.begin);
  store(kMidOffset, state.low.end);
  store(kHiOffset, state.high.end);
  slot[kAreaLowOffset] = static_cast<std::uint8_t>(state.low.area);
  slot[kAreaHighOffset] = static_cast<std::uint8_t>(state.high.area);
  store_le64(&slot[kAreaHashLowOffset], state.low.area_hash);
  store_le64(&slot[kAreaHashHighOffset], state.high.area_hash);
  store_le64(&slot[kRecordHashOffset], plan.record_hash);
  std::memcpy(&slot[kRunNameOffset], plan.name.data(), kNameSize);
  store_le64(&slot[kHashOffset], slot_hash(plan.version, slot));
}

namespace {

// Far beyond any file, and small enough that no size derived from it
// overflows a signed 64-bit number.
constexpr std::uint64_t kMaxDataLength = std::uint64_t{1} << 56;

// The plan of a slot, if its fields are ones a run could have written.
std::optional<RunPlan> decode_plan(const Slot& slot) {
  const int keyword = slot[kKeywordOffset];
  if (keyword < 1 || keyword > 4 || !is_known_way(slot[kRunWayOffset])) return std::nullopt;
  const std::uint64_t length = load_le64(&slot[kDataLengthOffset]);
  const std::uint64_t zone = load_le64(&slot[kZoneSizeOffset]);
  if (length > kMaxDataLength || zone == 0 || zone % kChunkSize != 0 ||
      zone / kChunkSize > kMaxZoneChunks) {
    return std::nullopt;
  }
  RunPlan plan{static_cast<RunKeyword>(keyword),
               slot[kRunWayOffset],
               slot[kRunFactorOffset],
               static_cast<std::int64_t>(length),
               static_cast<std::int64_t>(length),
               static_cast<std::int64_t>(zone)};
  if (plan.command().record == RecordUse::checks_and_cuts) {
    plan.size_before += static_cast<std::int64_t>(kRecordSize);
  }
  if (load_le64(&slot[kSizeBeforeOffset]) != static_cast<std::uint64_t>(plan.size_before) ||
      load_le64(&slot[kAreaSizeOffset]) != static_cast<std::uint64_t>(plan.area_size())) {
    return std::nullopt;
  }
  plan.record_hash = load_le64(&slot[kRecordHashOffset]);
  plan.version = slot[kVersionOffset];
  std::memcpy(plan.name.data(), &slot[kRunNameOffset], kNameSize);
  return plan;
}

// The state of a slot, if its ranges lie in order inside the data and their
// piece hashes fit their areas.
std::optional<RunState> decode_state(const Slot& slot, const RunPlan& plan) {
  const std::uint64_t lo = load_le64(&slot[kLoOffset]);
  const std::uint64_t mid = load_le64(&slot[kMidOffset]);
  const std::uint64_t hi = load_le64(&slot[kHiOffset]);
  const int area_low = slot[kAreaLowOffset];
  const int area_high = slot[kAreaHighOffset];
  if (!(lo <= mid && mid <= hi && hi <= static_cast<std::uint64_t>(plan.data_length)) ||
      area_low >= kHashAreas || area_high >= kHashAreas || area_low == area_high) {
    return std::nullopt;
  }
  RunState state;
  state.sequence = load_le64(&slot[kSequenceOffset]);
  state.low = {static_cast<std::int64_t>(lo), static_cast<std::int64_t>(mid), area_low,
               load_le64(&slot[kAreaHashLowOffset])};
  state.high = {static_cast<std::int64_t>(mid), static_cast<std::int64_t>(hi), area_high,
                load_le64(&slot[kAreaHashHighOffset])};
  const std::int64_t max_pieces = plan.area_size() / static_cast<std::int64_t>(kPieceHashSize);
  if (piece_count(state.low.begin, state.low.end) > max_pieces ||
      piece_count(state.high.begin, state.high.end) > max_pieces) {
    return std::nullopt;
  }
  return state;
}

}  // namespace

std::optional<std::pair<RunPlan, RunState>> decode_slot(const Slot& slot, std::int64_t file_size) {
  const std::uint8_t version = slot[kVersionOffset];
  if (std::memcmp(slot.data(), kMagic, 8) != 0 || !is_known_version(version) ||
      load_le64(&slot[kHashOffset]) != slot_hash(version, slot)) {
    return std::nullopt;
  }
  const std::optional<RunPlan> plan = decode_plan(slot);
  // Bound to this file: its size must be the one the run gave it (a hash
  // match alone could be a copy of a slot from another file in this one's data).
  if (!plan || plan->run_size() != file_size ||
      load_le64(&slot[kRunSizeOffset]) != static_cast<std::uint64_t>(file_size)) {
    return std::nullopt;
  }
  const std::optional<RunState> state = decode_state(slot, *plan);
  if (!state) return std::nullopt;
  return std::make_pair(*plan, *state);
}

void store_piece_hash(std::uint8_t* bytes, std::uint64_t piece_hash) {
  store_le64(bytes, piece_hash);
}

std::uint64_t load_piece_hash(const std::uint8_t* bytes) { return load_le64(bytes); }

void AreaHash::add_batch(const std::uint8_t* bytes, std::size_t count) {
  state_ = rotate_left(state_ ^ hash_bytes(version_, bytes, count), 29) * 0x9E3779B185EBCA87ull;
  total_ += count;
}

std::uint64_t AreaHash::value() const {
  std::uint8_t tail[16];
  store_le64(tail, state_);
  store_le64(tail + 8, total_);
  return hash_bytes(version_, tail, sizeof tail);
}

}  // namespace tavo
