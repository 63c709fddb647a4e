#include "run.h"

#include <chrono>
#include <vector>

#include "record.h"

namespace tavo {
namespace {

// Reads for hashes and repairs are cut at sector bounds, so no piece of a
// sector is split between two reads.
constexpr std::int64_t kBlockSize = 65536;

std::int64_t block_end(std::int64_t pos, std::int64_t end) {
  const std::int64_t cut = (pos + kBlockSize) / kSectorSize * kSectorSize;
  return cut < end ? cut : end;
}

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Bytes rewritten between two requests to start writing them back.
constexpr std::int64_t kWritebackStep = 16 * std::int64_t{kChunkSize};

// At most one progress report per this many milliseconds.
constexpr std::int64_t kProgressIntervalMs = 5;

enum class PieceState { old_bytes, new_bytes, torn };

// Reads exactly `count` bytes at `offset`; a short read is a failure here,
// since every range a run reads lies inside the file.
bool read_exactly(const RunContext& context, std::int64_t offset, void* buffer, std::size_t count) {
  std::size_t got = 0;
  return context.files.read_at(context.file, offset, buffer, count, got) && got == count;
}

}  // namespace

Run::Run(RunContext context, const RunPlan& plan)
    : context_(context), plan_(plan), next_sequence_(1) {
  // A way that changes nothing has nothing to rewrite: all data counts as new.
  const std::int64_t start = plan.changes_bytes() ? 0 : plan.data_length;
  state_.lo = state_.mid = state_.hi = start;
  low_ = {start, start, 0};
  high_ = {start, start, 1};
}

Run::Run(RunContext context, const RunPlan& plan, const RunState& state, const Range& low,
         const Range& high)
    : context_(context),
      plan_(plan),
      state_(state),
      low_(low),
      high_(high),
      next_sequence_(state.sequence + 1),
      unflushed_(true) {}

std::optional<Run> Run::find(RunContext context) {
  platform::FileSystem& files = context.files;
  std::int64_t size = 0;
  if (!files.size(context.file, size) || size < 2 * static_cast<std::int64_t>(kSlotSize) ||
      size % kSectorSize != 0) {
    return std::nullopt;
  }
  std::optional<std::pair<RunPlan, RunState>> slots[2];
  std::uint64_t highest_sequence = 0;
  for (int slot = 0; slot < 2; ++slot) {
    Slot bytes{};
    const std::int64_t offset = size - static_cast<std::int64_t>((2 - slot) * kSlotSize);
    if (!read_exactly(context, offset, bytes.data(), bytes.size())) {
      return std::nullopt;
    }
    slots[slot] = decode_slot(bytes, size);
    if (slots[slot] && slots[slot]->second.sequence > highest_sequence) {
      highest_sequence = slots[slot]->second.sequence;
    }
  }
  // The newer slot counts if its hashes are whole; a slot whose hashes were
  // being written when the run stopped gives way to the older one.
  const bool newer_first =
      slots[0] && (!slots[1] || slots[0]->second.sequence > slots[1]->second.sequence);
  for (int slot : {newer_first ? 0 : 1, newer_first ? 1 : 0}) {
    if (!slots[slot]) continue;
    const auto& [plan, state] = *slots[slot];
    Range low{state.lo, state.mid, state.area_low, state.area_hash_low};
    Range high{state.mid, state.hi, state.area_high, state.area_hash_high};
    Run run(context, plan, state, low, high);
    const auto whole = [&run](const Range& range) {
      PieceHashReader reader(run, range);
      std::uint64_t piece_hash = 0;
      while (!reader.at_end()) {
        if (!reader.next(piece_hash)) return false;
      }
      return reader.hash() == range.area_hash;
    };
    if (!whole(low) || !whole(high)) continue;
    if (plan.keyword == RunKeyword::de) {
      // "de" never touches its record; a different one is another file.
      Record record{};
      if (!read_exactly(context, plan.data_length, record.data(), record.size()) ||
          hash_bytes(record.data(), record.size()) != plan.record_hash) {
        continue;
      }
    }
    run.next_sequence_ = highest_sequence + 1;
    return run;
  }
  return std::nullopt;
}

Transform Run::forward() const {
  const bool encrypting = plan_.keyword == RunKeyword::en || plan_.keyword == RunKeyword::rxen;
  return {plan_.way, encrypting ? Direction::forward : Direction::reverse};
}

int Run::free_area() const {
  for (int area = 0; area < kHashAreas; ++area) {
    const bool used_low = low_.begin < low_.end && low_.area == area;
    const bool used_high = high_.begin < high_.end && high_.area == area;
    if (!used_low && !used_high) return area;
  }
  return 0;  // unreachable: two ranges use at most two of three areas
}

bool Run::write(std::int64_t offset, const void* bytes, std::size_t count) {
  unflushed_ = true;
  return context_.files.write_at(context_.file, offset, bytes, count);
}

bool Run::flush() {
  if (!unflushed_) return true;
  if (!context_.files.flush(context_.file)) return false;
  unflushed_ = false;
  return true;
}

RunStatus Run::begin() {
  platform::FileSystem& files = context_.files;
  const std::int64_t before = plan_.size_before;
  if (!files.reserve(context_.file, before, plan_.run_size() - before)) return RunStatus::io_error;
  // The file grows by this one sector-aligned write at its new end, so it is
  // either as it was or carries a whole first slot.
  if (write_slot(low_, high_) == RunStatus::io_error) {
    files.set_size(context_.file, before);
    return RunStatus::io_error;
  }
  return state_.sequence == 0 ? RunStatus::flush_error : RunStatus::ok;
}

RunStatus Run::write_slot(const Range& low, const Range& high) {
  RunState next;
  next.sequence = next_sequence_++;
  next.lo = low.begin;
  next.mid = low.end;
  next.hi = high.end;
  next.area_low = low.area;
  next.area_high = high.area;
  next.area_hash_low = low.area_hash;
  next.area_hash_high = high.area_hash;
  Slot slot{};
  encode_slot(plan_, next, slot);
  if (!write(plan_.slot_offset(static_cast<int>(next.sequence % 2)), slot.data(), slot.size())) {
    return RunStatus::io_error;
  }
  if (!flush()) {
    state_.sequence = 0;  // nothing is known any more
    return RunStatus::flush_error;
  }
  state_ = next;
  low_ = low;
  high_ = high;
  return RunStatus::ok;
}

Run::PieceHashReader::PieceHashReader(const Run& run, const Range& range)
    : run_(run),
      offset_(run.plan_.area_offset(range.area)),
      remaining_(piece_count(range.begin, range.end) * static_cast<std::int64_t>(kPieceHashSize)) {}

bool Run::PieceHashReader::next(std::uint64_t& piece_hash) {
  if (used_ == loaded_) {
    const std::int64_t want = remaining_ < static_cast<std::int64_t>(kHashBlockSize)
                                  ? remaining_
                                  : static_cast<std::int64_t>(kHashBlockSize);
    if (want == 0 ||
        !read_exactly(run_.context_, offset_, block_.data(), static_cast<std::size_t>(want))) {
      return false;
    }
    hash_.add_block(block_.data(), static_cast<std::size_t>(want));
    offset_ += want;
    remaining_ -= want;
    used_ = 0;
    loaded_ = static_cast<std::size_t>(want);
  }
  piece_hash = load_piece_hash(block_.data() + used_);
  used_ += kPieceHashSize;
  return true;
}

RunStatus Run::write_piece_hashes(Range& zone, Target target) {
  // The hashes go out block by block as the zone is read, hashed the same
  // way PieceHashReader hashes them back.
  const Transform to_old = inverse(forward());
  std::array<std::uint8_t, kHashBlockSize> block{};
  std::size_t used = 0;
  std::int64_t area_offset = plan_.area_offset(zone.area);
  AreaHash hash;
  const auto put_block = [&]() {
    hash.add_block(block.data(), used);
    const bool written = write(area_offset, block.data(), used);
    area_offset += static_cast<std::int64_t>(used);
    used = 0;
    return written;
  };
  for (std::int64_t pos = zone.begin; pos < zone.end;) {
    const std::int64_t stop = block_end(pos, zone.end);
    const auto count = static_cast<std::size_t>(stop - pos);
    if (!read_exactly(context_, pos, context_.buffer, count)) return RunStatus::io_error;
    if (target == Target::undone) {
      apply_transform(to_old, static_cast<std::int32_t>(count), context_.buffer, plan_.factor);
    }
    for (std::int64_t piece = pos; piece < stop; piece = piece_end(piece, stop)) {
      store_piece_hash(block.data() + used,
                 hash_bytes(context_.buffer + (piece - pos),
                            static_cast<std::size_t>(piece_end(piece, stop) - piece)));
      used += kPieceHashSize;
      if (used == block.size() && !put_block()) return RunStatus::io_error;
    }
    pos = stop;
  }
  if (used > 0 && !put_block()) return RunStatus::io_error;
  zone.area_hash = hash.value();
  return RunStatus::ok;
}

RunStatus Run::repair_range(const Range& range, Target target, bool fix) {
  const Transform to_old = inverse(forward());
  std::vector<std::uint8_t> converted;
  PieceHashReader hashes(*this, range);
  for (std::int64_t pos = range.begin; pos < range.end;) {
    const std::int64_t stop = block_end(pos, range.end);
    const auto count = static_cast<std::size_t>(stop - pos);
    if (!read_exactly(context_, pos, context_.buffer, count)) return RunStatus::io_error;
    bool changed = false;
    for (std::int64_t piece = pos; piece < stop; piece = piece_end(piece, stop)) {
      std::uint8_t* bytes = context_.buffer + (piece - pos);
      const auto length = static_cast<std::int32_t>(piece_end(piece, stop) - piece);
      std::uint64_t piece_hash = 0;
      if (!hashes.next(piece_hash)) return RunStatus::io_error;
      PieceState state = PieceState::torn;
      if (hash_bytes(bytes, static_cast<std::size_t>(length)) == piece_hash) {
        state = PieceState::old_bytes;
      } else {
        converted.assign(bytes, bytes + length);
        apply_transform(to_old, length, converted.data(), plan_.factor);
        if (hash_bytes(converted.data(), converted.size()) == piece_hash) state = PieceState::new_bytes;
      }
      if (state == PieceState::torn) {
        torn_at_ = piece;
        return RunStatus::torn;
      }
      if (fix && state == PieceState::old_bytes && target == Target::finished) {
        apply_transform(forward(), length, bytes, plan_.factor);
        changed = true;
      } else if (fix && state == PieceState::new_bytes && target == Target::undone) {
        apply_transform(to_old, length, bytes, plan_.factor);
        changed = true;
      }
    }
    if (changed && !write(pos, context_.buffer, count)) {
      return RunStatus::io_error;
    }
    pos = stop;
  }
  return RunStatus::ok;
}

RunStatus Run::repair(Target target) {
  // Every piece of both ranges is classified before any is changed, so a
  // torn one leaves the file exactly as it was found.
  for (bool fix : {false, true}) {
    for (const Range* range : {&low_, &high_}) {
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
    const std::int64_t left = end - pos;
    const auto count = static_cast<std::int32_t>(left < kChunkSize ? left : kChunkSize);
    if (!read_exactly(context_, pos, context_.buffer, static_cast<std::size_t>(count))) {
      return RunStatus::io_error;
    }
    apply_transform(transform, count, context_.buffer, plan_.factor);
    if (!write(pos, context_.buffer, static_cast<std::size_t>(count))) {
      // Part of the chunk may have reached the file: put its bytes back, so
      // every piece stays old or new and the run can still be undone.
      apply_transform(inverse(transform), count, context_.buffer, plan_.factor);
      write(pos, context_.buffer, static_cast<std::size_t>(count));
      return RunStatus::io_error;
    }
    pos += count;
    // Writing back as the zone goes keeps the disk busy while the rest of
    // it is transformed, so the flush before the next zone has little left.
    if (pos - written_back >= kWritebackStep || pos == end) {
      files.start_writeback(context_.file, written_back, pos - written_back);
      written_back = pos;
    }
    const std::int64_t done = target == Target::finished ? pos : plan_.data_length - pos;
    report_progress(done, false);
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

RunStatus Run::complete(Target target, bool cancellable) {
  // What this process is about to build on may still sit only in memory,
  // left there by a run that was killed.
  if (!flush()) return RunStatus::flush_error;
  RunStatus status = repair(target);
  if (status != RunStatus::ok) return status;
  if (!flush()) return RunStatus::flush_error;

  const std::int64_t length = plan_.data_length;
  const std::int64_t zone_size = plan_.zone_size;
  std::int64_t frontier = target == Target::finished ? state_.hi : state_.lo;
  Range previous;
  bool have_previous = false;
  for (;;) {
    std::int64_t begin = 0;
    std::int64_t end = 0;
    if (target == Target::finished) {
      if (frontier >= length) break;
      begin = frontier;
      end = (frontier / zone_size + 1) * zone_size;
      if (end > length) end = length;
    } else {
      if (frontier <= 0) break;
      end = frontier;
      begin = (frontier - 1) / zone_size * zone_size;
    }
    if (cancellable && context_.observer.cancel_requested != nullptr &&
        context_.observer.cancel_requested(context_.observer.context)) {
      return RunStatus::cancelled;
    }
    Range zone{begin, end, free_area()};
    status = write_piece_hashes(zone, target);
    if (status != RunStatus::ok) return status;
    // An empty range beside the zone when there is no previous one.
    const int spare_area = (zone.area + 1) % kHashAreas;
    if (target == Target::finished) {
      const Range low = have_previous ? previous : Range{begin, begin, spare_area};
      status = write_slot(low, zone);
    } else {
      const Range high = have_previous ? previous : Range{end, end, spare_area};
      status = write_slot(zone, high);
    }
    if (status != RunStatus::ok) return status;
    status = rewrite(begin, end, target);
    if (status != RunStatus::ok) return status;
    previous = zone;
    have_previous = true;
    frontier = target == Target::finished ? end : begin;
  }
  if (!flush()) return RunStatus::flush_error;
  report_progress(target == Target::finished ? length : 0, true);
  return finalize(target);
}

RunStatus Run::finalize(Target target) {
  platform::FileSystem& files = context_.files;
  const std::int64_t length = plan_.data_length;
  std::int64_t final_size = plan_.size_before;
  if (target == Target::finished) {
    final_size = length;
    if (plan_.keyword == RunKeyword::en) {
      // The record goes in only over durable data, and becomes the end of
      // the file only once it is durable itself.
      Record record{};
      build_record(plan_.name, plan_.way, plan_.factor, record);
      if (!write(length, record.data(), record.size())) {
        return RunStatus::io_error;
      }
      if (!flush()) return RunStatus::flush_error;
      final_size = length + static_cast<std::int64_t>(kRecordSize);
    }
  }
  unflushed_ = true;
  if (!files.set_size(context_.file, final_size)) return RunStatus::io_error;
  if (!flush()) return RunStatus::flush_error;
  return RunStatus::ok;
}

}  // namespace tavo
