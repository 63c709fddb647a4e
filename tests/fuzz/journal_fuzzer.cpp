// libFuzzer target: the journal at the end of a file.
//
// The input is a whole file (cut to whole sectors); the seeds are files the
// real tool left interrupted (make_journal_seeds.sh). Both slots at its end
// get the magic and the hash encode_slot gives them, so changes reach past
// the hash check. Each slot is decoded against the run size it claims, and an
// accepted one must place the journal's parts within that size. Then the
// file is finished and undone in memory with the command of a slot it holds;
// where both succeed, the finished data is the undone data transformed.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "../test_support.h"
#include "journal.h"
#include "operations.h"

namespace {

using namespace tavo;
using test::Bytes;

void require(bool condition) {
  if (!condition) std::abort();
}

void check_decoded_alone(const Slot& slot) {
  std::uint64_t claimed = 0;  // the file size the slot claims, at offset 48
  for (int i = 7; i >= 0; --i) claimed = claimed << 8 | slot[48 + i];
  const auto size = static_cast<std::int64_t>(claimed);
  const auto decoded = decode_slot(slot, size);
  if (!decoded) return;
  const auto& [plan, state] = *decoded;
  const bool with_record = plan.command().record != RecordUse::none;
  const std::int64_t record = with_record ? kRecordSize : 0;
  require(plan.area_start() % kSectorSize == 0 && plan.area_start() >= plan.data_length + record &&
          plan.area_size() >= 8 * std::max(piece_count(state.low.begin, state.low.end),
                                           piece_count(state.high.begin, state.high.end)) &&
          plan.slot_offset(0) == plan.area_start() + kHashAreas * plan.area_size() &&
          plan.slot_offset(1) + 512 == size && plan.run_size() == size);
}

// The file after the command of `keyword` with the plan's way and factor, if it succeeds.
std::optional<Bytes> run(RunKeyword keyword, const RunPlan& plan, const Bytes& bytes) {
  test::MemoryFiles files(bytes);
  test::Captured out;
  Channels channels(out.sink());
  channels.files = &files;
  channels.hash_ahead = false;  // the file in memory is not thread-safe
  const Result result =
      transform_file(command_spec(keyword), "f", {plan.way, plan.factor}, channels);
  return result == Result::ok ? std::optional<Bytes>(files.content) : std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  size -= size % kSectorSize;
  if (size < 2 * kSlotSize) return 0;
  Bytes file(data, data + size);
  std::optional<std::pair<RunPlan, RunState>> found;
  for (std::size_t offset = size - 2 * kSlotSize; offset < size; offset += kSlotSize) {
    std::memcpy(&file[offset], "tavo-run", 8);
    // The hash of the slot's own version (offset 27), so both versions are reached.
    const std::uint8_t version =
        is_known_version(file[offset + 27]) ? file[offset + 27] : kCurrentVersion;
    const std::uint64_t hash = hash_bytes(version, &file[offset + 16], kSlotSize - 16);
    for (int i = 0; i < 8; ++i) file[offset + 8 + i] = static_cast<std::uint8_t>(hash >> (8 * i));
    Slot slot;
    std::copy_n(&file[offset], kSlotSize, slot.begin());
    check_decoded_alone(slot);
    if (!found) found = decode_slot(slot, static_cast<std::int64_t>(size));
  }
  if (!found) return 0;
  const RunPlan& plan = found->first;
  const auto finished = run(plan.keyword, plan, file);
  const auto undone = run(plan.command().inverse, plan, file);
  // A run found and ended leaves no journal; a file without one gets a new run.
  if (!finished || !undone || std::max(finished->size(), undone->size()) + 2 * kSlotSize > size) {
    return 0;
  }
  require(finished->size() + (plan.keyword == RunKeyword::de ? kRecordSize : 0) ==
          undone->size() + (plan.keyword == RunKeyword::en ? kRecordSize : 0));
  const auto length = static_cast<std::ptrdiff_t>(std::min(finished->size(), undone->size()));
  const bool forward = plan.command().direction == Direction::forward;
  const Bytes expected = test::transformed(Bytes(undone->begin(), undone->begin() + length),
                                           plan.way, forward, plan.factor);
  require(std::equal(expected.begin(), expected.end(), finished->begin()));
  return 0;
}
