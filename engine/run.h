// A run: the in-place rewrite of a file's data [0, L) by "en", "de",
// "rxen" or "rxde", zone by zone, so that it can be stopped anywhere (a
// cancel, a failure, a kill, a power cut) and still be finished or undone
// exactly. This comment is the one statement of how; journal.h has the
// byte layout, and the code names the invariant it upholds as (Jn).
//
// TERMS (of the engine; a newcomer meets them all here)
//   pass        the reading, transforming and writing back of a range of
//               the data.
//   block       what a pass reads or writes at once: up to kIoSize (1 MiB),
//               cut at sector and zone bounds.
//   chunk       65,534 bytes (kChunkSize), the unit zones are counted in and
//               pieces are cut at.
//   sector      512 bytes at a multiple of 512. After a crash each sector
//               holds some prefix of the writes made to it since the last
//               completed flush; a sector that holds part of one write is torn.
//   piece       a sector cut again at chunk bounds: one write of a pass
//               writes every piece it touches whole.
//   zone        zone_size bytes of data (a whole number of chunks, 2048 by
//               default), rewritten between two flushes.
//   piece hash  8 bytes: the hash of a piece's bytes before the run (its old
//               bytes). Every way that changes bytes changes every byte, so a
//               piece matches its piece hash as it is (old), after undoing the
//               transform (new), or not at all (torn).
//   hash area   one of three areas holding the piece hashes of one range of
//               the data, in order; the area hash is the hash over them.
//   batch       what a hash area is written and read in at once (its size
//               depends on the journal's version).
//   slot        one of two 512-byte records that say where the run stands:
//               [0, lo) is new, [hi, L) is old, and [lo, mid) and [mid, hi)
//               are told apart piece by piece through their hash areas.
//   journal     the hash areas and the slots, after the data (and after the
//               room for the record of "en" and "de") while a run goes.
//   standing slot  the slot the run stands on: of the valid slots (J6), the
//               one with the higher sequence number.
//   version     of the journal (1 or 2), which says how it hashes; a found
//               run keeps the version it began with. The journal's layout is
//               where its parts lie (journal.h).
//   record      the 512 bytes "en" appends and "de" checks and cuts off
//               (record.h); the public names with "header" mean it too.
//   peek        x=xxx: the record checked and printed, nothing changed.
//   run over many files  the runs of the files a command line names
//               (targets.h), on worker threads (runner.h) whose flushes are
//               shared (J10).
//
// INVARIANTS
//   (J1) The file grows only by one sector-aligned write of the first slot
//        at its new end, flushed before any data byte changes; until then
//        the file is as it was or carries a valid slot that changes nothing.
//        This takes a grown size never to be durable before the bytes that
//        grew it, as ext4 (ordered data) and XFS keep it. NTFS journals the
//        size but not the bytes: a cut there can leave the old data followed
//        by a sector that is no valid slot, which the peek reports as no
//        record; the data before it is unchanged.
//   (J2) A zone's data changes only after its piece hashes and a slot that
//        covers the zone are durable: both written, then one flush.
//   (J3) Every data byte written since the last completed flush lies in
//        [lo, hi) of the standing slot: a zone leaves [lo, hi) only through
//        a slot written after a flush that followed the zone's last write.
//   (J4) A slot is never written where the standing slot lies, and its
//        sequence number is higher than that of both slots on disk, so a
//        cut during the write leaves the standing slot as it was, and the
//        new slot counts as soon as it is durable.
//   (J5) Piece hashes go only to an area that no range of the standing slot
//        uses.
//   (J6) A slot is valid only if its magic, hash, version, sizes and
//        fields agree with each other and with the file's size, the area
//        hashes of both its ranges match their areas, and, for "de", the
//        record it keeps is unchanged.
//   (J7) Recovery first flushes what a killed process may have left in
//        memory, then classifies every piece of [lo, hi) before it changes
//        any: with one torn piece the file stays exactly as found.
//   (J8) A failed flush ends the run at once: nothing more is written and
//        nothing is retried, so the journal stays for a later recovery.
//   (J10) A flush shared by the runs of many files (flush_group.h) is, for
//        each file, exactly as strong as the file's own flush: it begins
//        after the file asked, makes the file's data and size durable on
//        its file system (shared_flush.h: one syncfs only where it flushes
//        every file's data, each file's own flush elsewhere), and fails if
//        the writing back of that file failed, whichever descriptor the
//        system first told of it.
//   (J9) At the end the data is made durable, with the record of "en"
//        written into its room beside it in the same flush (the room lies
//        outside the data and the areas, and no recovery reads it), then the
//        file is cut to its final size and that is made durable; only then
//        is a run done.
//
// A found run is finished by the same command and undone by the inverse,
// walking the zones forward or backward under the same invariants, so a
// recovery can itself be cut anywhere and run again.
#ifndef TAVO_RUN_H
#define TAVO_RUN_H

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>

#include "journal.h"
#include "platform.h"
#include "tavo/tavo.h"
#include "transforms.h"

namespace tavo {

// 128 MiB. At each zone's flush the disk takes in the zone's last writes and
// flushes its cache with nothing new to write meanwhile, so fewer, larger
// zones keep it busier: a warm pass ran 1.05 x a copy with one flush at the
// end with zones of 32 MiB, 0.92 x with 128 MiB (1.20 and 1.00 x a plain
// Win32 pass under Wine).
inline constexpr std::int64_t kZoneSize = 2048 * std::int64_t{kChunkSize};
static_assert(kZoneSize / kChunkSize <= kMaxZoneChunks);

// A pass reads and writes blocks of at most this many bytes, cut at sector
// bounds (and at zone bounds), so that one write writes every piece it
// touches whole. No file and no output shows the block size.
inline constexpr std::size_t kIoSize = std::size_t{1} << 20;

enum class RunStatus {
  ok,
  cancelled,        // stopped between zones on request; nothing undone yet
  io_error,         // a read or write failed; the standing slot still describes the file
  flush_error,      // a flush failed: nothing is known about the disk any more (J8)
  end_flush_error,  // the last flush failed: the disk holds the finished file or the journal
  torn,             // a piece holds neither its old nor its new bytes
};

enum class Target { finished, undone };

// Everything a run touches.
struct RunContext {
  platform::FileSystem& files;
  platform::File file;
  const Observer& observer;
  std::uint8_t* buffer;  // kIoSize bytes
  // Whether the piece hashes of the next zone may be taken on a second
  // thread while a zone is rewritten. Off, they are taken just before the
  // next zone's slot instead: the same writes between the same two flushes.
  bool hash_ahead = false;
};

class Run {
 public:
  // A new run that has changed nothing yet.
  Run(RunContext context, const RunPlan& plan);

  // The run whose journal ends the file, if any.
  static std::optional<Run> find(RunContext context);

  const RunPlan& plan() const { return plan_; }
  // The byte at which the first torn piece begins, after a torn status.
  std::int64_t torn_at() const { return torn_at_; }

  // Writes the first slot and makes it durable (J1). After an io_error the
  // file is as it was, as far as the system lets it be put back.
  RunStatus begin();

  // Brings every zone to the target, then gives the file its final size
  // (and for a finished "en" its record). `cancellable` lets the observer
  // stop the run between zones.
  RunStatus complete(Target target, bool cancellable);

 private:
  Run(RunContext context, const RunPlan& plan, const RunState& standing,
      std::uint64_t highest_sequence);

  Transform forward() const;
  bool area_matches(const Range& range) const;
  bool record_unchanged() const;
  RunStatus repair(Target target);
  RunStatus repair_range(const Range& range, Target target, bool fix);
  // The piece hashes of one zone, taken on a thread of their own.
  struct HashAhead {
    Range zone;
    RunStatus status = RunStatus::ok;
    std::unique_ptr<std::uint8_t[]> buffer;
    std::thread thread;
  };

  bool next_zone(Target target, Range& zone) const;
  bool zone_after(const Range& zone, Target target, Range& after) const;
  RunStatus advance(Range zone, const std::optional<Range>& behind, Target target,
                    HashAhead& ahead);
  void start_hash_ahead(const Range& zone, Target target, HashAhead& ahead) const;
  // Writes the piece hashes of `zone` into its area, reading through
  // `buffer`. Touches nothing of the run but the file, so a second thread
  // may call it.
  RunStatus write_piece_hashes(Range& zone, Target target, std::uint8_t* buffer,
                               std::size_t buffer_size) const;
  RunStatus write_slot(RunState next);
  RunStatus rewrite(std::int64_t begin, std::int64_t end, Target target);
  RunStatus finalize(Target target);
  void report_progress(std::int64_t done, bool force);
  int free_area() const;
  bool write(std::int64_t offset, const void* bytes, std::size_t count);
  bool read(std::int64_t offset, void* bytes, std::size_t count) const;
  // Flushes, unless nothing was written since the last flush.
  RunStatus flush();

  RunContext context_;
  RunPlan plan_;
  RunState standing_;                   // durable: the standing slot
  std::uint64_t highest_sequence_ = 0;  // of any slot written or found, valid or not
  std::int64_t torn_at_ = -1;
  std::int64_t last_report_ms_ = -1;
  // Whether anything may sit unflushed; a run found in a file may have been
  // left in memory by a process that was killed.
  bool unflushed_ = false;
};

}  // namespace tavo

#endif  // TAVO_RUN_H
