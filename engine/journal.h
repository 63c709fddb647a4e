// The journal: what a file carries at its end while "en", "de", "rxen" or
// "rxde" rewrites it, so that a run cut short anywhere can be finished or
// undone exactly.
//
// Layout at the end of the file during a run (A is the first 512-aligned
// offset after the data, and after the 512-byte record of "en" and "de"):
//
//   A            fact area 0    F bytes    one 8-byte hash per sector piece
//   A + F        fact area 1    F bytes
//   A + 2F       fact area 2    F bytes
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
//       27     1  layout version, 1
//       32     8  data length L: the run rewrites bytes [0, L)
//       40     8  size of the file before the run
//       48     8  size of the file during the run (the end of slot 1)
//       56     8  zone size
//       64     8  fact area size F
//       72     8  lo      [0, lo) holds new bytes, [hi, L) old bytes, and
//       80     8  mid     each sector piece of [lo, mid) and [mid, hi) is
//       88     8  hi      told apart by its hash in a fact area
//       96     1  fact area of [lo, mid)
//       97     1  fact area of [mid, hi)
//      104     8  hash of the facts of [lo, mid)
//      112     8  hash of the facts of [mid, hi)
//      120     8  hash of the 512 bytes at L before the run ("de": its record)
//      128   255  name field for the record of "en", before scrambling
//      383   129  zero
//
// The zone is cut into pieces at every multiple of 512 and of the chunk size,
// so that one write of a pass writes each piece whole (a crash may keep any
// prefix of a sector's writes), and a piece's fact is the hash of its bytes
// before the run. Every way
// with a factor that changes bytes changes every byte, so a piece whose hash
// matches neither its old bytes nor its old bytes transformed is torn.
#ifndef TAVO_JOURNAL_H
#define TAVO_JOURNAL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "record.h"

namespace tavo {

inline constexpr std::int64_t kSectorSize = 512;
inline constexpr std::size_t kSlotSize = 512;
inline constexpr std::size_t kPieceHashSize = 8;
inline constexpr int kHashAreas = 3;

enum class RunKeyword : std::uint8_t { en = 1, de = 2, rxen = 3, rxde = 4 };

const char* keyword_text(RunKeyword keyword);
// "de" for "en", "rxen" for "rxde" and so on.
RunKeyword inverse_keyword(RunKeyword keyword);

// A 64-bit hash, fast enough to run over every byte of a pass.
std::uint64_t hash_bytes(const std::uint8_t* bytes, std::size_t count);

// What a run does, fixed when it starts.
struct RunPlan {
  RunKeyword keyword;
  int way;
  std::uint8_t factor;
  std::int64_t data_length;
  std::int64_t size_before;
  std::int64_t zone_size;
  std::uint64_t record_hash;  // of the 512 bytes at data_length before the run
  std::array<std::uint8_t, kNameSize> name{};

  // Ways 1 to 3 with a factor of 0 leave every byte as it is.
  bool changes_bytes() const { return way == 4 || factor != 0; }

  std::int64_t area_start() const;
  std::int64_t area_size() const;
  std::int64_t run_size() const;  // the file's size during the run
  std::int64_t slot_offset(int slot) const;
  std::int64_t area_offset(int area) const;
};

// The plan for a file of `size_before` bytes whose data is [0, data_length).
RunPlan make_plan(RunKeyword keyword, int way, std::uint8_t factor, std::int64_t data_length,
                  std::int64_t size_before, std::int64_t zone_size);

// Where a run stands: the part of a slot that changes.
struct RunState {
  std::uint64_t sequence = 0;
  std::int64_t lo = 0, mid = 0, hi = 0;
  int area_low = 0, area_high = 1;
  std::uint64_t area_hash_low = 0, area_hash_high = 0;
};

using Slot = std::array<std::uint8_t, kSlotSize>;

void encode_slot(const RunPlan& plan, const RunState& state, Slot& slot);

// The plan and state of a slot read from a file of `file_size` bytes, if its
// magic, hash, size and fields hold together. The facts are not checked here.
std::optional<std::pair<RunPlan, RunState>> decode_slot(const Slot& slot, std::int64_t file_size);

// The end of the piece that starts at `pos`, and the number of pieces of
// [begin, end).
std::int64_t piece_end(std::int64_t pos, std::int64_t end);
std::int64_t piece_count(std::int64_t begin, std::int64_t end);

// Fact areas are written and read in blocks of this many bytes, so the facts
// of a zone of any size take no more memory than one block.
inline constexpr std::size_t kHashBlockSize = 4096;

void store_piece_hash(std::uint8_t* bytes, std::uint64_t fact);
std::uint64_t load_piece_hash(const std::uint8_t* bytes);

// The hash of a range's facts, fed one block at a time in order.
class AreaHash {
 public:
  void add_block(const std::uint8_t* bytes, std::size_t count);
  std::uint64_t value() const;

 private:
  std::uint64_t state_ = 0x243F6A8885A308D3ull;
  std::uint64_t total_ = 0;
};

}  // namespace tavo

#endif  // TAVO_JOURNAL_H
