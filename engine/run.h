// A run: the in-place rewrite of a file's data [0, L), zone by zone, under
// the journal of run_record.h, so that it can be stopped anywhere and
// still be finished or undone exactly.
//
// For each zone, in this order: the facts of its sectors go to a free fact
// area, a new slot of the journal names the zone and the one before it, one flush
// makes both durable together with the previous zone's data, and only then
// is the zone rewritten. A zone therefore leaves the record only after a
// flush that followed its last write. Undoing walks the same way backwards.
#ifndef TAVO_RUN_H
#define TAVO_RUN_H

#include <array>
#include <cstdint>
#include <optional>

#include "platform.h"
#include "journal.h"
#include "tavo/tavo.h"
#include "transforms.h"

namespace tavo {

// Zones are whole chunks, 32 MiB: few enough flushes to keep pace with the
// disk, and a zone still ends within the 5 s that Windows leaves a process
// after its console window is closed, on a disk of 7 MB/s or more.
inline constexpr std::int64_t kZoneSize = 512 * std::int64_t{kChunkSize};

enum class RunStatus {
  ok,
  cancelled,    // stopped between zones on request; nothing undone yet
  io_error,     // a read or write failed; the record still describes the file
  flush_error,  // a flush failed: nothing is known about the disk any more
  torn,         // a sector holds neither its old nor its new bytes
};

enum class Target { finished, undone };

// Everything a run touches.
struct RunContext {
  platform::FileSystem& files;
  platform::File file;
  const Observer& observer;
  std::uint8_t* buffer;  // kChunkBufferSize bytes
};

class Run {
 public:
  // A new run that has changed nothing yet.
  Run(RunContext context, const RunPlan& plan);

  // The journaled at the end of a file, if any.
  static std::optional<Run> find(RunContext context);

  const RunPlan& plan() const { return plan_; }
  // The byte at which the first torn sector begins, after a torn status.
  std::int64_t torn_at() const { return torn_at_; }

  // Writes the first slot and makes it durable. On failure the file is
  // as it was, as far as the system lets it be put back.
  RunStatus begin();

  // Brings every zone to the target, then gives the file its final size
  // (and for a finished "en" its record). `cancellable` lets the observer
  // stop the run between zones.
  RunStatus complete(Target target, bool cancellable);

 private:
  // A range the slot covers, and where its facts are.
  struct Range {
    std::int64_t begin = 0, end = 0;
    int area = 0;
    std::uint64_t area_hash = AreaHash().value();
  };

  // Reads the facts of a range from its area, one block at a time.
  class PieceHashReader {
   public:
    PieceHashReader(const Run& run, const Range& range);
    bool next(std::uint64_t& fact);  // false when a read fails
    std::uint64_t hash() const { return hash_.value(); }
    bool at_end() const { return remaining_ == 0 && used_ == loaded_; }

   private:
    const Run& run_;
    std::int64_t offset_;
    std::int64_t remaining_;
    std::array<std::uint8_t, kHashBlockSize> block_{};
    std::size_t used_ = 0, loaded_ = 0;
    AreaHash hash_;
  };

  Run(RunContext context, const RunPlan& plan, const RunState& state, const Range& low,
      const Range& high);

  Transform forward() const;
  RunStatus repair(Target target);
  RunStatus repair_range(const Range& range, Target target, bool fix);
  RunStatus write_piece_hashes(Range& zone, Target target);
  RunStatus write_slot(const Range& low, const Range& high);
  RunStatus rewrite(std::int64_t begin, std::int64_t end, Target target);
  RunStatus finalize(Target target);
  void report_progress(std::int64_t done, bool force);
  int free_area() const;
  bool write(std::int64_t offset, const void* bytes, std::size_t count);
  // Flushes, unless nothing was written since the last flush.
  bool flush();

  RunContext context_;
  RunPlan plan_;
  RunState state_;    // of the last slot written and flushed
  Range low_, high_;  // the ranges that slot covers
  std::uint64_t next_sequence_;
  std::int64_t torn_at_ = -1;
  std::int64_t last_report_ms_ = -1;
  // Whether anything may sit unflushed; a run found in a file may have been
  // left in memory by a process that was killed.
  bool unflushed_ = false;
};

}  // namespace tavo

#endif  // TAVO_RUN_H
