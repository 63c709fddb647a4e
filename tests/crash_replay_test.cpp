// Crash-state replay. An in-memory file system records every write, size
// change and flush of real runs. Then, for the point after each recorded
// call, files are built the way a crash there could leave them on disk:
// everything up to the last flush, plus for each 512-byte sector a random
// prefix of its later writes, plus a prefix of the later size changes. On
// each, the same command must finish the run exactly and the inverse command
// undo it exactly. A file with one torn sector (neither its old nor its new
// bytes) must be refused by both and left as it is.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>

#ifndef TAVO_REPLAY_SHARE
#define TAVO_REPLAY_SHARE 1
#endif

#include "operations.h"
#include "record.h"
#include "test_support.h"

namespace tavo {
namespace {

using test::Bytes;
using test::Captured;
using test::Event;
using test::MemoryFiles;
using test::pattern;
using test::transformed;

constexpr std::int64_t kSector = 512;

constexpr const char* kPath = "f.bin";

Result run_in_memory(const CommandSpec& command, MemoryFiles& files, int way, int factor,
                     std::int64_t zone_size) {
  Captured out;
  Channels channels(out.sink());
  channels.files = &files;
  channels.hash_ahead = false;  // the file in memory is not thread-safe
  channels.zone_size = zone_size;
  return transform_file(command, kPath, {way, factor}, channels);
}

struct Case {
  const CommandSpec* command;
  Bytes start, finished;
  int way, factor;
  std::int64_t zone_size;
  std::int64_t data_length;
};

struct Tally {
  long states = 0;
  long torn = 0;
  long nested[2] = {0, 0};  // states after a cut in a recovery, and in its recovery
  std::vector<std::string> failures;
  void fail(const std::string& what) {
    if (failures.size() < 10) failures.push_back(what);
  }
};

// The file after the pending events, each sector keeping only the first
// `writes_kept[sector]` of its writes and the first `resizes_kept` resizes.
Bytes crash_state(const Bytes& durable, const std::vector<Event>& pending,
                  const std::map<std::int64_t, int>& writes_kept, int resizes_kept) {
  Bytes state = durable;
  std::map<std::int64_t, int> writes_seen;
  int resizes_seen = 0;
  for (const Event& event : pending) {
    if (event.kind == Event::resize) {
      if (resizes_seen++ < resizes_kept) state.resize(static_cast<std::size_t>(event.offset));
    } else if (event.kind == Event::write) {
      const std::int64_t end = event.offset + static_cast<std::int64_t>(event.data.size());
      for (std::int64_t pos = event.offset; pos < end;) {
        const std::int64_t sector = pos / kSector;
        const std::int64_t stop = std::min(end, (sector + 1) * kSector);
        const auto kept = writes_kept.find(sector);
        if (writes_seen[sector]++ < (kept == writes_kept.end() ? 0 : kept->second)) {
          MemoryFiles::apply_write(state, pos, event.data.data() + (pos - event.offset),
                                   static_cast<std::size_t>(stop - pos));
        }
        pos = stop;
      }
    }
  }
  return state;
}

std::string describe(const Case& c, std::size_t point, int depth, const char* what) {
  char text[200];
  std::snprintf(text, sizeof text,
                "%s of %zu bytes, way %d factor %d, zone %lld, point %zu, nesting %d: %s",
                c.command->text, c.start.size(), c.way, c.factor,
                static_cast<long long>(c.zone_size), point, depth, what);
  return text;
}

void replay_events(const Case& c, const Bytes& initial, const std::vector<Event>& events, int depth,
                   int states_per_point, std::mt19937& random, Tally& tally);

// Recoveries cut in turn: one in this many at the first level of nesting, and
// one in this many of those again at the second.
constexpr unsigned kNestEvery[] = {100, 20};

void check_recovers(const Case& c, const Bytes& state, std::size_t point, int depth,
                    std::mt19937& random, Tally& tally) {
  depth == 0 ? ++tally.states : ++tally.nested[depth - 1];
  if (state == c.start || state == c.finished) return;
  const std::pair<const CommandSpec*, const Bytes*> targets[] = {
      {c.command, &c.finished}, {&command_spec(c.command->inverse), &c.start}};
  for (const auto& [command, expected] : targets) {
    MemoryFiles files(state);
    if (run_in_memory(*command, files, c.way, c.factor, c.zone_size) != Result::ok ||
        files.content != *expected) {
      tally.fail(describe(c, point, depth,
                          command == c.command ? "the same command did not finish the run"
                                               : "the inverse command did not undo the run"));
    } else if (depth < 2 && random() % kNestEvery[depth] == 0) {
      // The recovery itself cut anywhere must still finish and undo.
      replay_events(c, state, files.events, depth + 1, 1, random, tally);
    }
  }
}

void check_refuses_torn(const Case& c, const Bytes& state, std::size_t point, Tally& tally) {
  ++tally.states;
  ++tally.torn;
  for (const CommandSpec* command : {c.command, &command_spec(c.command->inverse)}) {
    MemoryFiles files(state);
    if (run_in_memory(*command, files, c.way, c.factor, c.zone_size) != Result::failed ||
        files.content != state) {
      tally.fail(describe(c, point, 0, "a torn sector was not refused"));
    }
  }
}

// Every crash state after every call of `events`, made from `initial`, must
// recover; at depth 0 a torn sector must also be refused.
void replay_events(const Case& c, const Bytes& initial, const std::vector<Event>& events, int depth,
                   int states_per_point, std::mt19937& random, Tally& tally) {
  Bytes durable = initial;
  std::size_t flushed = 0;  // events before this index are durable
  for (std::size_t point = 0; point <= events.size(); ++point) {
    if (point > 0 && events[point - 1].kind == Event::flush) {
      for (std::size_t i = flushed; i < point; ++i) {
        const Event& e = events[i];
        if (e.kind == Event::write) {
          MemoryFiles::apply_write(durable, e.offset, e.data.data(), e.data.size());
        }
        if (e.kind == Event::resize) durable.resize(static_cast<std::size_t>(e.offset));
      }
      flushed = point;
    }
    const std::vector<Event> pending(events.begin() + flushed, events.begin() + point);
    std::map<std::int64_t, int> writes_per_sector;
    int resizes = 0;
    for (const Event& event : pending) {
      if (event.kind == Event::resize) ++resizes;
      if (event.kind != Event::write) continue;
      const std::int64_t end = event.offset + static_cast<std::int64_t>(event.data.size());
      for (std::int64_t sector = event.offset / kSector; sector * kSector < end; ++sector) {
        ++writes_per_sector[sector];
      }
    }
    const Bytes none = crash_state(durable, pending, {}, 0);
    const Bytes all = crash_state(durable, pending, writes_per_sector, resizes);
    check_recovers(c, none, point, depth, random, tally);
    check_recovers(c, all, point, depth, random, tally);
    if (pending.empty()) continue;
    for (int i = 0; i < states_per_point; ++i) {
      std::map<std::int64_t, int> kept;
      for (const auto& [sector, count] : writes_per_sector) {
        kept[sector] = static_cast<int>(random() % static_cast<unsigned>(count + 1));
      }
      const int resizes_kept = static_cast<int>(random() % static_cast<unsigned>(resizes + 1));
      check_recovers(c, crash_state(durable, pending, kept, resizes_kept), point, depth, random,
                     tally);
    }
    if (depth > 0) continue;
    // One torn data sector: its first half as written, the rest as before.
    std::vector<std::int64_t> candidates;
    for (const auto& [sector, count] : writes_per_sector) {
      const std::int64_t begin = sector * kSector;
      const std::int64_t end = std::min(begin + kSector, c.data_length);
      if (begin >= end || static_cast<std::int64_t>(none.size()) < end ||
          static_cast<std::int64_t>(all.size()) < end) {
        continue;
      }
      bool every_byte_differs = end - begin >= 2;
      for (std::int64_t i = begin; i < end; ++i) every_byte_differs &= none[i] != all[i];
      if (every_byte_differs) candidates.push_back(sector);
    }
    if (candidates.empty()) continue;
    const std::int64_t sector = candidates[random() % candidates.size()];
    const std::int64_t begin = sector * kSector;
    const std::int64_t end = std::min(begin + kSector, c.data_length);
    Bytes torn = all;
    std::copy(none.begin() + (begin + end) / 2, none.begin() + end,
              torn.begin() + (begin + end) / 2);
    check_refuses_torn(c, torn, point, tally);
  }
}

void replay(const Case& c, int states_per_point, std::mt19937& random, Tally& tally) {
  MemoryFiles recorder(c.start);
  ASSERT_EQ(run_in_memory(*c.command, recorder, c.way, c.factor, c.zone_size), Result::ok);
  ASSERT_EQ(recorder.content, c.finished) << c.command->text << " " << c.start.size();
  replay_events(c, c.start, recorder.events, 0, states_per_point, random, tally);
}

Bytes with_record(const Bytes& data, int way, int factor) {
  Record record{};
  build_header(kPath, way, factor, record);
  Bytes bytes = transformed(data, way, true, factor);
  bytes.insert(bytes.end(), record.begin(), record.end());
  return bytes;
}

Case make_case(const CommandSpec& command, const Bytes& plain, int way, int factor,
               std::int64_t zone_size) {
  const std::string keyword = command.text;
  Case c{&command, plain, plain, way, factor, zone_size, 0};
  if (keyword == "en") {
    c.finished = with_record(plain, way, factor);
  } else if (keyword == "de") {
    c.start = with_record(plain, way, factor);
  } else {
    c.finished = transformed(plain, way, keyword == "rxen", factor);
  }
  c.data_length = static_cast<std::int64_t>(plain.size());
  return c;
}

TEST(CrashReplay, EveryStateAfterEveryCallRecovers) {
  const std::uint32_t seed = 20261207;
  std::printf("crash replay seed %u\n", seed);
  std::mt19937 random(seed);
  constexpr std::int64_t kSmallZone = 2 * kChunkSize;
  struct Size {
    std::size_t bytes;
    std::int64_t zone_size;
    int states_per_point;
  };
  const Size sizes[] = {
      {0, kZoneSize, 1000},
      {1, kZoneSize, 1000},
      {511, kZoneSize, 1000},
      {512, kZoneSize, 1000},
      {513, kZoneSize, 1000},
      {65533, kZoneSize, 250},
      {65534, kZoneSize, 250},
      {65535, kZoneSize, 250},
      {1000000, kZoneSize, 4},
      {300000, kSmallZone, 30},
      {3 * kSmallZone, kSmallZone, 30},
      {2200000, 17 * kChunkSize, 2},  // zones of two blocks of a pass
  };
  // The engine's logic is the same in every build: the plain native build
  // checks every state, and the sanitizer and Windows builds (slower by far
  // under their instrumentation or Wine) a share of them.
  constexpr int kShare = TAVO_REPLAY_SHARE;
  Tally tally;
  int round = 0;
  for (const Size& size : sizes) {
    for (const CommandSpec& command : kCommands) {
      const int way = 1 + round++ % 4;
      const Bytes plain = pattern(size.bytes, static_cast<std::uint32_t>(size.bytes + way));
      replay(make_case(command, plain, way, 0x5A, size.zone_size),
             (size.states_per_point + kShare - 1) / kShare, random, tally);
    }
  }
  // A factor of 0 changes no data byte; only the record comes and goes.
  for (const CommandSpec& command : kCommands) {
    replay(make_case(command, pattern(70000, 3), 1, 0, kZoneSize), 50, random, tally);
  }
  std::printf(
      "crash states checked: %ld (%ld with a torn sector); after a cut in a recovery: "
      "%ld, in the recovery of that: %ld\n",
      tally.states, tally.torn, tally.nested[0], tally.nested[1]);
  for (const std::string& failure : tally.failures) ADD_FAILURE() << failure;
  EXPECT_GE(tally.states, 100000 / kShare);
  EXPECT_GE(tally.nested[1], 1000 / kShare);
}

}  // namespace
}  // namespace tavo
