// The journal's layout on disk and its slot codec. What the journal is for,
// its terms and the invariants that keep it sound are stated once, in run.h.
//
// Layout at the end of the file during a run (A is the first 512-aligned
// offset after the data, and after the 512-byte record room of "en" and
// "de"; F is the size of one hash area):
//
//   A            hash area 0    F bytes    one 8-byte piece hash per piece
//   A + F        hash area 1    F bytes
//   A + 2F       hash area 2    F bytes
//   A + 3F       slot 0         512 bytes  written when the sequence is even
//   A + 3F + 512 slot 1         512 bytes  written when the sequence is odd
//
// Slot, little-endian:
//
//   offset  size  field
//        0     8  "tavo-run"
//        8     8  hash of bytes 16..511
//       16     8  sequence number; the valid slot with the higher one counts
//       24     1  keyword of the run: 1 en, 2 de, 3 rxen, 4 rxde
//       25     1  way, 1 to 4
//       26     1  factor byte
//       27     1  version: 1, or 2 (hashes are XXH3-64, hash.h)
//       32     8  data length L: the run rewrites bytes [0, L)
//       40     8  size of the file before the run
//       48     8  size of the file during the run (the end of slot 1)
//       56     8  zone size
//       64     8  hash area size F
//       72     8  lo      [0, lo) holds new bytes, [hi, L) old bytes, and
//       80     8  mid     each piece of [lo, mid) and [mid, hi) is told
//       88     8  hi      apart by its piece hash
//       96     1  hash area of [lo, mid)
//       97     1  hash area of [mid, hi)
//      104     8  area hash of [lo, mid): the hash of its piece hashes
//      112     8  area hash of [mid, hi)
//      120     8  hash of the 512 bytes at L before the run ("de": its record)
//      128   255  name field for the record of "en", before scrambling
//      383   129  zero
#ifndef TAVO_JOURNAL_H
#define TAVO_JOURNAL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "commands.h"
#include "hash.h"
#include "record.h"

namespace tavo {

inline constexpr std::int64_t kSectorSize = 512;
inline constexpr std::size_t kSlotSize = 512;
inline constexpr std::size_t kPieceHashSize = 8;
inline constexpr int kHashAreas = 3;

// Zone sizes a slot may name: whole chunks, at most this many. A slot that
// names any other (a crafted one) is not a run this program could write.
inline constexpr std::int64_t kMaxZoneChunks = 4096;

// Hash areas are written and read in batches, so the piece hashes of a zone
// of any size take no more memory than one batch; the area hash is taken
// batch by batch, so the batch size is part of the version.
inline constexpr std::size_t kMaxHashBatchSize = 65536;
inline constexpr std::size_t hash_batch_size(std::uint8_t version) {
  return version == kFirstVersion ? 4096 : kMaxHashBatchSize;
}

// What a run does, fixed when it starts.
struct RunPlan {
  RunKeyword keyword;
  int way;
  std::uint8_t factor;
  std::int64_t data_length;
  std::int64_t size_before;
  std::int64_t zone_size;
  std::uint64_t record_hash = 0;  // of the 512 bytes at data_length before the run
  NameField name{};
  std::uint8_t version = kCurrentVersion;  // of the journal, and so of its hashes

  const CommandSpec& command() const { return command_spec(keyword); }
  std::uint64_t hash(const std::uint8_t* bytes, std::size_t count) const {
    return hash_bytes(version, bytes, count);
  }
  // Ways 1 to 3 with a factor of 0 leave every byte as it is.
  bool changes_bytes() const { return way == 4 || factor != 0; }

  std::int64_t area_start() const;
  std::int64_t area_size() const;
  std::int64_t run_size() const;  // the file's size during the run
  std::int64_t slot_offset(int slot) const;
  std::int64_t area_offset(int area) const;
};

// A range of the data a slot covers, the hash area that holds the piece
// hashes of its pieces, and the area hash over them.
struct Range {
  std::int64_t begin = 0, end = 0;
  int area = 0;
  std::uint64_t area_hash = 0;
};

// Where a run stands: the part of a slot that changes. low.end == high.begin.
struct RunState {
  std::uint64_t sequence = 0;
  Range low, high;
};

using Slot = std::array<std::uint8_t, kSlotSize>;

void encode_slot(const RunPlan& plan, const RunState& state, Slot& slot);

// The plan and state of a slot read from a file of `file_size` bytes, if its
// magic, hash, size and fields hold together. Every field is checked before
// any arithmetic on it. The hash areas are not read here.
std::optional<std::pair<RunPlan, RunState>> decode_slot(const Slot& slot, std::int64_t file_size);

// The end of the piece that starts at `pos`, and the number of pieces of
// [begin, end).
std::int64_t piece_end(std::int64_t pos, std::int64_t end);
std::int64_t piece_count(std::int64_t begin, std::int64_t end);

void store_piece_hash(std::uint8_t* bytes, std::uint64_t piece_hash);
std::uint64_t load_piece_hash(const std::uint8_t* bytes);

// The area hash of a range, fed the range's piece hashes one batch at a time.
class AreaHash {
 public:
  explicit AreaHash(std::uint8_t version) : version_(version) {}
  void add_batch(const std::uint8_t* bytes, std::size_t count);
  std::uint64_t value() const;

 private:
  std::uint8_t version_;
  std::uint64_t state_ = 0x243F6A8885A308D3ull;
  std::uint64_t total_ = 0;
};

}  // namespace tavo

#endif  // TAVO_JOURNAL_H
