// A run, zone by zone, under the invariants stated in run.h; the journal's
// bytes are journal.h's, the pass's byte routines transforms.h's.
#include "run.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "record.h"

namespace tavo {
namespace {

// The end of the block of a pass that starts at `pos`: a sector bound, so
// no piece is split between two reads or two writes.
std::int64_t block_end(std::int64_t pos, std::int64_t end, std::size_t size = kIoSize) {
  const std::int64_t cut = (pos + static_cast<std::int64_t>(size)) / kSectorSize * kSectorSize;
  return cut < end ? cut : end;
}

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The second thread reads in smaller blocks: its reads come from the page
// cache or the prefetch, and its buffer counts in the memory of every run.
constexpr std::size_t kHashAheadIoSize = std::size_t{256} << 10;

// The most pieces a block of a pass can hold: one per sector, and one more
// at each chunk bound and at either end.
constexpr std::size_t kMaxBlockPieces =
    kIoSize / kSectorSize + kIoSize / static_cast<std::size_t>(kChunkSize) + 2;

// Hashes each piece of the bytes of [begin, end) into `piece_hashes`; gives
// how many there were.
std::size_t hash_pieces(const RunPlan& plan, std::int64_t begin, std::int64_t end,
                        const std::uint8_t* bytes, std::uint64_t* piece_hashes) {
  std::size_t count = 0;
  for (std::int64_t piece = begin; piece < end; piece = piece_end(piece, end)) {
    const auto length = static_cast<std::size_t>(piece_end(piece, end) - piece);
    piece_hashes[count++] = plan.hash(bytes + (piece - begin), length);
  }
  return count;
}

// Bytes rewritten between two requests to start writing them back: often
// enough to keep the disk busy, seldom enough that the requests cost little.
constexpr std::int64_t kWritebackStep = std::int64_t{4} << 20;

// At most one progress report per this many milliseconds.
constexpr std::int64_t kProgressIntervalMs = 5;

enum class PieceState { old_bytes, new_bytes, torn };

// Reads exactly `count` bytes at `offset`; a short read is a failure here,
// since every range a run reads lies inside the file.
bool read_exactly(const RunContext& context, std::int64_t offset, void* buffer, std::size_t count) {
  std::size_t got = 0;
  return context.files.read_at(context.file, offset, buffer, count, got) && got == count;
}

// An empty range at `pos`: it has no pieces, so its area hash is that of none.
Range empty_range(std::uint8_t version, std::int64_t pos, int area) {
  return {pos, pos, area, AreaHash(version).value()};
}

// Reads the piece hashes of a range from its area, one batch at a time.
class PieceHashReader {
 public:
  PieceHashReader(const RunContext& context, const RunPlan& plan, const Range& range)
      : context_(context),
        offset_(plan.area_offset(range.area)),
        remaining_(piece_count(range.begin, range.end) * static_cast<std::int64_t>(kPieceHashSize)),
        batch_size_(hash_batch_size(plan.version)),
        area_hash_(plan.version) {}

  // False when a read fails or no piece hash is left.
  bool next(std::uint64_t& piece_hash) {
    if (used_ == loaded_) {
      const auto want =
          static_cast<std::size_t>(std::min(remaining_, static_cast<std::int64_t>(batch_size_)));
      if (want == 0 || !read_exactly(context_, offset_, batch_.data(), want)) return false;
      area_hash_.add_batch(batch_.data(), want);
      offset_ += static_cast<std::int64_t>(want);
      remaining_ -= static_cast<std::int64_t>(want);
      used_ = 0;
      loaded_ = want;
    }
    piece_hash = load_piece_hash(batch_.data() + used_);
    used_ += kPieceHashSize;
    return true;
  }
  bool at_end() const { return remaining_ == 0 && used_ == loaded_; }
  std::uint64_t area_hash() const { return area_hash_.value(); }

 private:
  const RunContext& context_;
  std::int64_t offset_;
  std::int64_t remaining_;
  std::size_t batch_size_;
  std::array<std::uint8_t, kMaxHashBatchSize> batch_;
  std::size_t used_ = 0, loaded_ = 0;
  AreaHash area_hash_;
};

}  // namespace

Run::Run(RunContext context, const RunPlan& plan) : context_(context), plan_(plan) {
  // A way that changes nothing has nothing to rewrite: all data counts as new.
  const std::int64_t start = plan.changes_bytes() ? 0 : plan.data_length;
  standing_.low = empty_range(plan.version, start, 0);
  standing_.high = empty_range(plan.version, start, 1);
}

Run::Run(RunContext context, const RunPlan& plan, const RunState& standing,
         std::uint64_t highest_sequence)
    : context_(context),
      plan_(plan),
      standing_(standing),
      highest_sequence_(highest_sequence),
      unflushed_(true) {}

std::optional<Run> Run::find(RunContext context) {
  std::int64_t size = 0;
  if (!context.files.size(context.file, size) || size < 2 * static_cast<std::int64_t>(kSlotSize) ||
      size % kSectorSize != 0) {
    return std::nullopt;
  }
  std::optional<std::pair<RunPlan, RunState>> slots[2];
  std::uint64_t highest_sequence = 0;
  for (int place = 0; place < 2; ++place) {
    Slot bytes{};
    const std::int64_t offset = size - static_cast<std::int64_t>((2 - place) * kSlotSize);
    if (!read_exactly(context, offset, bytes.data(), bytes.size())) return std::nullopt;
    slots[place] = decode_slot(bytes, size);
    if (slots[place]) highest_sequence = std::max(highest_sequence, slots[place]->second.sequence);
  }
  // (J6) The newer slot stands if its areas match; one whose piece hashes
  // were still being written when the run stopped gives way to the older.
  const int newer =
      slots[0] && (!slots[1] || slots[0]->second.sequence > slots[1]->second.sequence) ? 0 : 1;
  for (int place : {newer, 1 - newer}) {
    if (!slots[place]) continue;
    Run run(context, slots[place]->first, slots[place]->second, highest_sequence);
    if (run.area_matches(run.standing_.low) && run.area_matches(run.standing_.high) &&
        run.record_unchanged()) {
      return run;
    }
  }
  return std::nullopt;
}

bool Run::area_matches(const Range& range) const {
  PieceHashReader reader(context_, plan_, range);
  std::uint64_t piece_hash = 0;
  while (!reader.at_end()) {
    if (!reader.next(piece_hash)) return false;
  }
  return reader.area_hash() == range.area_hash;
}

bool Run::record_unchanged() const {
  // "de" never touches its record; a different one means another file.
  if (plan_.command().record != RecordUse::checks_and_cuts) return true;
  Record record{};
  return read(plan_.data_length, record.data(), record.size()) &&
         plan_.hash(record.data(), record.size()) == plan_.record_hash;
}

Transform Run::forward() const { return {plan_.way, plan_.command().direction}; }

int Run::free_area() const {
  // (J5) Not an area that a range of the standing slot uses.
  for (int area = 0; area < kHashAreas; ++area) {
    const bool used_low = standing_.low.begin < standing_.low.end && standing_.low.area == area;
    const bool used_high = standing_.high.begin < standing_.high.end && standing_.high.area == area;
    if (!used_low && !used_high) return area;
  }
  return 0;  // unreachable: two ranges use at most two of three areas
}

bool Run::write(std::int64_t offset, const void* bytes, std::size_t count) {
  unflushed_ = true;
  return context_.files.write_at(context_.file, offset, bytes, count);
}

bool Run::read(std::int64_t offset, void* bytes, std::size_t count) const {
  return read_exactly(context_, offset, bytes, count);
}

RunStatus Run::flush() {
  if (!unflushed_) return RunStatus::ok;
  // (J8) A failed flush leaves unflushed_ set: the caller stops.
  if (!context_.files.flush(context_.file)) return RunStatus::flush_error;
  unflushed_ = false;
  return RunStatus::ok;
}

RunStatus Run::begin() {
  platform::FileSystem& files = context_.files;
  const std::int64_t before = plan_.size_before;
  if (!files.reserve(context_.file, before, plan_.run_size() - before)) return RunStatus::io_error;
  // (J1) The file grows by this one sector-aligned write at its new end.
  const RunStatus status = write_slot(standing_);
  if (status == RunStatus::io_error) files.set_size(context_.file, before);
  return status;
}

RunStatus Run::write_slot(RunState next) {
  // (J4) One past every sequence on disk, and of the other parity than the
  // standing slot's, which names the other place.
  next.sequence = highest_sequence_ + 1;
  if (next.sequence % 2 == standing_.sequence % 2) ++next.sequence;
  highest_sequence_ = next.sequence;  // a failed write may still have left it
  Slot slot{};
  encode_slot(plan_, next, slot);
  if (!write(plan_.slot_offset(static_cast<int>(next.sequence % 2)), slot.data(), slot.size())) {
    return RunStatus::io_error;
  }
  const RunStatus status = flush();  // (J2) with the piece hashes before it
  if (status == RunStatus::ok) standing_ = next;
  return status;
}

RunStatus Run::write_piece_hashes(Range& zone, Target target, std::uint8_t* buffer,
                                  std::size_t buffer_size) const {
  // The piece hashes go out batch by batch as the zone is read, hashed the
  // same way PieceHashReader hashes them back.
  const Transform to_old = inverse(forward());
  std::array<std::uint8_t, kMaxHashBatchSize> batch{};
  const std::size_t batch_size = hash_batch_size(plan_.version);
  std::size_t used = 0;
  std::int64_t area_offset = plan_.area_offset(zone.area);
  AreaHash area_hash(plan_.version);
  const auto put_batch = [&]() {
    area_hash.add_batch(batch.data(), used);
    const bool written = context_.files.write_at(context_.file, area_offset, batch.data(), used);
    area_offset += static_cast<std::int64_t>(used);
    used = 0;
    return written;
  };
  std::array<std::uint64_t, kMaxBlockPieces> piece_hashes;
  // Read into the buffer, not seen in place through a mapping: in a virtual
  // machine each page of a fresh mapping costs a page walk, which made the
  // hashing several times slower than the copy it saved.
  for (std::int64_t pos = zone.begin; pos < zone.end;) {
    const std::int64_t stop = block_end(pos, zone.end, buffer_size);
    const auto count = static_cast<std::size_t>(stop - pos);
    if (!read(pos, buffer, count)) return RunStatus::io_error;
    // Undoing hashes new bytes: their old form is what the hash keeps.
    if (target == Target::undone) {
      apply_transform(to_old, static_cast<std::int32_t>(count), buffer, plan_.factor);
    }
    const std::size_t pieces = hash_pieces(plan_, pos, stop, buffer, piece_hashes.data());
    for (std::size_t index = 0; index < pieces; ++index) {
      store_piece_hash(batch.data() + used, piece_hashes[index]);
      used += kPieceHashSize;
      if (used == batch_size && !put_batch()) return RunStatus::io_error;
    }
    pos = stop;
  }
  if (used > 0 && !put_batch()) return RunStatus::io_error;
  zone.area_hash = area_hash.value();
  return RunStatus::ok;
}

RunStatus Run::repair_range(const Range& range, Target target, bool fix) {
  const Transform to_old = inverse(forward());
  std::vector<std::uint8_t> converted;
  PieceHashReader piece_hashes(context_, plan_, range);
  for (std::int64_t pos = range.begin; pos < range.end;) {
    const std::int64_t stop = block_end(pos, range.end);
    const auto count = static_cast<std::size_t>(stop - pos);
    if (!read(pos, context_.buffer, count)) return RunStatus::io_error;
    bool changed = false;
    for (std::int64_t piece = pos; piece < stop; piece = piece_end(piece, stop)) {
      std::uint8_t* bytes = context_.buffer + (piece - pos);
      const auto length = static_cast<std::int32_t>(piece_end(piece, stop) - piece);
      std::uint64_t piece_hash = 0;
      if (!piece_hashes.next(piece_hash)) return RunStatus::io_error;
      PieceState state = PieceState::torn;
      if (plan_.hash(bytes, static_cast<std::size_t>(length)) == piece_hash) {
        state = PieceState::old_bytes;
      } else {
        converted.assign(bytes, bytes + length);
        apply_transform(to_old, length, converted.data(), plan_.factor);
        if (plan_.hash(converted.data(), converted.size()) == piece_hash) {
          state = PieceState::new_bytes;
        }
      }
      if (state == PieceState::torn) {
        torn_at_ = piece;
        return RunStatus::torn;
      }
      const PieceState wrong =
          target == Target::finished ? PieceState::old_bytes : PieceState::new_bytes;
      if (fix && state == wrong) {
        apply_transform(target == Target::finished ? forward() : to_old, length, bytes,
                        plan_.factor);
        changed = true;
      }
    }
    if (changed && !write(pos, context_.buffer, count)) return RunStatus::io_error;
    pos = stop;
  }
  return RunStatus::ok;
}

RunStatus Run::repair(Target target) {
  // (J7) Every piece of both ranges is classified before any is changed.
  for (bool fix : {false, true}) {
    for (const Range* range : {&standing_.low, &standing_.high}) {
      const RunStatus status = repair_range(*range, target, fix);
      if (status != RunStatus::ok) return status;
    }
  }
  return RunStatus::ok;
}

RunStatus Run::rewrite(std::int64_t begin, std::int64_t end, Target target) {
  const Transform transform = target == Target::finished ? forward() : inverse(forward());
  platform::FileSystem& files = context_.files;
  std::int64_t written_back = begin;
  for (std::int64_t pos = begin; pos < end;) {
    const std::int64_t stop = block_end(pos, end);
    const auto count = static_cast<std::size_t>(stop - pos);
    if (!read(pos, context_.buffer, count)) return RunStatus::io_error;
    apply_transform(transform, static_cast<std::int32_t>(count), context_.buffer, plan_.factor);
    if (!write(pos, context_.buffer, count)) {
      // Part of the block may have reached the file: put its bytes back, so
      // every piece stays old or new and the run can still be undone.
      apply_transform(inverse(transform), static_cast<std::int32_t>(count), context_.buffer,
                      plan_.factor);
      write(pos, context_.buffer, count);
      return RunStatus::io_error;
    }
    pos = stop;
    // Writing back as the zone goes keeps the disk busy while the rest of
    // it is transformed, so the flush before the next zone has little left.
    if (pos - written_back >= kWritebackStep || pos == end) {
      files.start_writeback(context_.file, written_back, pos - written_back, pos == end);
      written_back = pos;
    }
    report_progress(target == Target::finished ? pos : plan_.data_length - pos, false);
  }
  return RunStatus::ok;
}

void Run::report_progress(std::int64_t done, bool force) {
  if (context_.observer.progress == nullptr) return;
  const std::int64_t now = now_ms();
  if (!force && last_report_ms_ >= 0 && now - last_report_ms_ < kProgressIntervalMs) return;
  last_report_ms_ = now;
  context_.observer.progress(context_.observer.context, done, plan_.data_length);
}

bool Run::next_zone(Target target, Range& zone) const {
  // Finishing works forward from hi, undoing backward from lo.
  const std::int64_t zone_size = plan_.zone_size;
  if (target == Target::finished) {
    const std::int64_t begin = standing_.high.end;
    if (begin >= plan_.data_length) return false;
    zone = {begin, std::min(plan_.data_length, (begin / zone_size + 1) * zone_size)};
  } else {
    const std::int64_t end = standing_.low.begin;
    if (end <= 0) return false;
    zone = {(end - 1) / zone_size * zone_size, end};
  }
  return true;
}

bool Run::zone_after(const Range& zone, Target target, Range& after) const {
  if (target == Target::finished) {
    if (zone.end >= plan_.data_length) return false;
    after = {zone.end, std::min(plan_.data_length, zone.end + plan_.zone_size)};
  } else {
    if (zone.begin <= 0) return false;
    after = {std::max<std::int64_t>(zone.begin - plan_.zone_size, 0), zone.begin};
  }
  return true;
}

void Run::start_hash_ahead(const Range& zone, Target target, HashAhead& ahead) const {
  Range after;
  if (!context_.hash_ahead || !zone_after(zone, target, after)) return;
  // (J5) Into the area the standing slot, which covers `zone`, leaves free.
  after.area = free_area();
  ahead.zone = after;
  if (!ahead.buffer) ahead.buffer.reset(new std::uint8_t[kHashAheadIoSize]);
  ahead.thread = std::thread([this, target, &ahead] {
    ahead.status = write_piece_hashes(ahead.zone, target, ahead.buffer.get(), kHashAheadIoSize);
  });
}

RunStatus Run::advance(Range zone, const std::optional<Range>& behind, Target target,
                       HashAhead& ahead) {
  // The system reads the zone after this one while this one is worked on.
  Range after;
  if (zone_after(zone, target, after)) {
    context_.files.prefetch(context_.file, after.begin, after.end - after.begin);
  }
  // The piece hashes come from the thread that took them while the zone
  // before was rewritten, or are taken now (again, if that thread failed).
  RunStatus status = RunStatus::io_error;
  if (ahead.thread.joinable()) {
    ahead.thread.join();
    if (ahead.zone.begin == zone.begin && ahead.zone.end == zone.end) {
      status = ahead.status;
      zone = ahead.zone;
    }
  }
  if (status != RunStatus::ok) {
    zone.area = free_area();
    status = write_piece_hashes(zone, target, context_.buffer, kIoSize);
  }
  unflushed_ = true;
  if (status != RunStatus::ok) return status;
  // (J3) The slot keeps covering the zone rewritten since the last flush;
  // where there is none, an empty range beside the zone takes its place.
  const int spare_area = (zone.area + 1) % kHashAreas;
  RunState next;
  if (target == Target::finished) {
    next.low = behind ? *behind : empty_range(plan_.version, zone.begin, spare_area);
    next.high = zone;
  } else {
    next.low = zone;
    next.high = behind ? *behind : empty_range(plan_.version, zone.end, spare_area);
  }
  status = write_slot(next);
  if (status != RunStatus::ok) return status;
  start_hash_ahead(zone, target, ahead);
  unflushed_ = true;  // the thread's writes go with the next flush
  return rewrite(zone.begin, zone.end, target);
}

RunStatus Run::complete(Target target, bool cancellable) {
  // (J7) What this process builds on may sit only in memory, left there by a
  // run that was killed: flush, classify and repair, flush.
  RunStatus status = flush();
  if (status == RunStatus::ok) status = repair(target);
  if (status == RunStatus::ok) status = flush();
  std::optional<Range> behind;
  HashAhead ahead;
  Range zone;
  while (status == RunStatus::ok && next_zone(target, zone)) {
    const Observer& observer = context_.observer;
    if (cancellable && observer.cancel_requested != nullptr &&
        observer.cancel_requested(observer.context)) {
      status = RunStatus::cancelled;
      break;
    }
    status = advance(zone, behind, target, ahead);
    behind = target == Target::finished ? standing_.high : standing_.low;
  }
  // What the thread wrote lies in a free area: it changes nothing a
  // recovery reads, but must be flushed with the rest.
  if (ahead.thread.joinable()) ahead.thread.join();
  // (J9) The record of a finished "en" goes out with this flush.
  const bool record_follows =
      target == Target::finished && plan_.command().record == RecordUse::appends;
  if (status == RunStatus::ok && !record_follows) status = flush();
  if (status != RunStatus::ok) return status;
  report_progress(target == Target::finished ? plan_.data_length : 0, true);
  return finalize(target);
}

RunStatus Run::finalize(Target target) {
  // (J9) Data and record durable in one flush, then the size.
  std::int64_t final_size = plan_.size_before;
  if (target == Target::finished) {
    final_size = plan_.data_length;
    if (plan_.command().record == RecordUse::appends) {
      Record record{};
      build_record(plan_.name, plan_.way, plan_.factor, record);
      if (!write(plan_.data_length, record.data(), record.size())) return RunStatus::io_error;
      const RunStatus status = flush();
      if (status != RunStatus::ok) return status;
      final_size += static_cast<std::int64_t>(kRecordSize);
    }
  }
  unflushed_ = true;  // the size change needs its own flush
  if (!context_.files.set_size(context_.file, final_size)) return RunStatus::io_error;
  // The journal is gone from the file as this process sees it, but maybe not
  // from the disk: neither "interrupted" nor "done" can be said.
  return flush() == RunStatus::ok ? RunStatus::ok : RunStatus::end_flush_error;
}

}  // namespace tavo
