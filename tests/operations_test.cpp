#include "operations.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "flush_group.h"
#include "record.h"
#include "shared_flush.h"
#include "test_support.h"
#include "transforms.h"

namespace tavo {
namespace {

using test::Bytes;
using test::Captured;
using test::pattern;
using test::ScratchFile;
using test::transformed;

// Chunk bounds, block bounds (1 MiB) and, with zones of three chunks,
// several zones whose piece hashes a second thread takes ahead.
const std::size_t kBoundarySizes[] = {0,      1,       65533,   65534,   65535,  131068,
                                      200000, 1048575, 1048576, 1048577, 3145733};

// Reads that fail on every thread but the one that made it: each zone the
// second thread takes ahead is left to the main thread, which reads it again.
struct AheadReadsFail final : platform::ForwardingFiles {
  AheadReadsFail() : ForwardingFiles(platform::system_files()) {}
  bool read_at(platform::File file, std::int64_t offset, void* bytes, std::size_t count,
               std::size_t& got) override {
    if (std::this_thread::get_id() != main_thread) return false;
    return ForwardingFiles::read_at(file, offset, bytes, count, got);
  }
  const std::thread::id main_thread = std::this_thread::get_id();
};

Channels small_zones(Sink out) {
  Channels channels(out);
  channels.zone_size = 3 * kChunkSize;
  channels.hash_ahead = true;
  return channels;
}

TEST(RudeOperations, EveryWayAndChunkBoundaryRoundTrips) {
  AheadReadsFail ahead_reads_fail;
  for (std::size_t size : kBoundarySizes) {
    for (int way = 1; way <= 4; ++way) {
      const Bytes original = pattern(size, static_cast<std::uint32_t>(size + way));
      ScratchFile file("rude.bin", original);
      Captured out;
      Channels channels = small_zones(out.sink());
      if (way % 2 == 0) channels.files = &ahead_reads_fail;  // every zone read again
      ASSERT_EQ(encrypt_rude(file.path.c_str(), way, 77, channels), Result::ok);
      ASSERT_EQ(file.bytes(), transformed(original, way, true, 77)) << size << " way " << way;
      ASSERT_EQ(decrypt_rude(file.path.c_str(), way, 77, channels), Result::ok);
      ASSERT_EQ(file.bytes(), original) << size << " way " << way;
      EXPECT_EQ(out.text, "tavo rxen file(rude.bin) ok.\r\ntavo rxde file(rude.bin) ok.\r\n");
    }
  }
}

TEST(RecordOperations, EveryWayAndChunkBoundaryRoundTrips) {
  for (std::size_t size : kBoundarySizes) {
    for (int way = 1; way <= 4; ++way) {
      const Bytes original = pattern(size, static_cast<std::uint32_t>(size * 7 + way));
      ScratchFile file("record.bin", original);
      Captured out;
      ASSERT_EQ(encrypt_with_header(file.path.c_str(), way, 200, small_zones(out.sink())),
                Result::ok);
      const Bytes encrypted = file.bytes();
      ASSERT_EQ(encrypted.size(), size + kRecordSize);
      EXPECT_EQ(Bytes(encrypted.begin(), encrypted.begin() + static_cast<long>(size)),
                transformed(original, way, true, 200));
      Record expected{};
      build_header("record.bin", way, 200, expected);
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(),
                             encrypted.begin() + static_cast<long>(size)));
      ASSERT_EQ(decrypt_with_header(file.path.c_str(), way, 200, small_zones(out.sink())),
                Result::ok);
      ASSERT_EQ(file.bytes(), original) << size << " way " << way;
      EXPECT_EQ(out.text, "tavo en file(record.bin) ok.\r\ntavo de file(record.bin) ok.\r\n");
    }
  }
}

// Each row: an operation with its arguments on a prepared file, the exact
// output, the result, and whether the file must stay byte for byte as it was.
struct Refusal {
  const char* name;
  std::size_t size;
  bool encrypt_first;  // with "en" way 3 factor 9
  Result (*run)(const char* path, Sink out);
  const char* printed;
};

const Refusal kRefusals[] = {
    {"rxen way 5", 100, false, [](const char* p, Sink o) { return encrypt_rude(p, 5, 1, o); },
     "tavo en file(f.bin) unknown way\r\n"},
    {"rxen way 256", 100, false, [](const char* p, Sink o) { return encrypt_rude(p, 256, 1, o); },
     "tavo en file(f.bin) unknown way\r\n"},
    {"rxde way 257", 100, false, [](const char* p, Sink o) { return decrypt_rude(p, 257, 1, o); },
     "tavo rxde file(f.bin) unknown way\r\n"},
    {"en way 5", 100, false, [](const char* p, Sink o) { return encrypt_with_header(p, 5, 1, o); },
     "tavo en file(f.bin) unknown way\r\n"},
    {"en way 256", 0, false,
     [](const char* p, Sink o) { return encrypt_with_header(p, 256, 1, o); },
     "tavo en file(f.bin) unknown way\r\n"},
    {"de 511 bytes", 511, false,
     [](const char* p, Sink o) { return decrypt_with_header(p, 1, 1, o); }, ""},
    {"peek 511 bytes", 511, false, [](const char* p, Sink o) { return peek_header(p, o); },
     "unknown tavo?file?\r\n"},
    {"de never encrypted", 4000, false,
     [](const char* p, Sink o) { return decrypt_with_header(p, 1, 1, o); },
     "unknown tavo?file(f.bin)\r\n"},
    {"peek never encrypted", 512, false, [](const char* p, Sink o) { return peek_header(p, o); },
     "unknown tavo?file?\r\n"},
    {"de wrong way", 10, true,
     [](const char* p, Sink o) { return decrypt_with_header(p, 2, 9, o); },
     "tavo de file(f.bin) x!=x\r\n"},
    {"de way 259 is not 3", 10, true,
     [](const char* p, Sink o) { return decrypt_with_header(p, 259, 9, o); },
     "tavo de file(f.bin) x!=x\r\n"},
    {"de wrong factor", 10, true,
     [](const char* p, Sink o) { return decrypt_with_header(p, 3, 8, o); },
     "tavo de file(f.bin) p!=p\r\n"},
    {"de factor 265 is not 9", 10, true,
     [](const char* p, Sink o) { return decrypt_with_header(p, 3, 265, o); },
     "tavo de file(f.bin) p!=p\r\n"},
    {"de both wrong", 10, true,
     [](const char* p, Sink o) { return decrypt_with_header(p, 1, 1, o); },
     "tavo de file(f.bin) x!=x\r\n"},
};

TEST(Operations, RefusalsLeaveTheFileUnchanged) {
  for (const Refusal& r : kRefusals) {
    ScratchFile file("f.bin", pattern(r.size));
    if (r.encrypt_first) {
      Captured ignored;
      ASSERT_EQ(encrypt_with_header(file.path.c_str(), 3, 9, ignored.sink()), Result::ok);
    }
    const Bytes before = file.bytes();
    Captured out;
    EXPECT_EQ(r.run(file.path.c_str(), out.sink()), Result::failed) << r.name;
    EXPECT_EQ(out.text, r.printed) << r.name;
    EXPECT_EQ(file.bytes(), before) << r.name;
  }
}

TEST(Operations, MissingFileOrDirectoryGivesZeroAndNoLine) {
  for (const char* path : {"no-such-file.bin", "."}) {
    Captured out;
    EXPECT_EQ(encrypt_rude(path, 1, 1, out.sink()), Result::failed);
    EXPECT_EQ(decrypt_rude(path, 1, 1, out.sink()), Result::failed);
    EXPECT_EQ(encrypt_with_header(path, 1, 1, out.sink()), Result::failed);
    EXPECT_EQ(decrypt_with_header(path, 1, 1, out.sink()), Result::failed);
    EXPECT_EQ(peek_header(path, out.sink()), Result::failed);
    EXPECT_EQ(out.text, "") << path;
  }
}

TEST(Operations, RecordedWayUnknownWithMatchingArgumentsIsRefused) {
  // Only a record written by something other than "en" can hold way 7.
  ScratchFile file("f.bin", pattern(600));
  Bytes bytes = file.bytes();
  Record r{};
  build_header("f.bin", 7, 5, r);
  std::copy(r.begin(), r.end(), bytes.end() - kRecordSize);
  test::write_file(file.path, bytes);
  Captured out;
  EXPECT_EQ(decrypt_with_header(file.path.c_str(), 7, 5, out.sink()), Result::failed);
  EXPECT_EQ(out.text, "tavo de file(f.bin) unknown way\r\n");
  EXPECT_EQ(file.bytes(), bytes);
}

TEST(Operations, EmptyFileEncryptsToTheRecordAlone) {
  ScratchFile file("empty.bin");
  Captured out;
  ASSERT_EQ(encrypt_with_header(file.path.c_str(), 2, 33, out.sink()), Result::ok);
  EXPECT_EQ(file.bytes().size(), kRecordSize);
  ASSERT_EQ(decrypt_with_header(file.path.c_str(), 2, 33, out.sink()), Result::ok);
  EXPECT_TRUE(file.bytes().empty());
  EXPECT_EQ(encrypt_rude(file.path.c_str(), 1, 1, out.sink()), Result::ok);
  EXPECT_TRUE(file.bytes().empty());
}

TEST(Operations, TwoLayersComeOffOuterFirst) {
  const Bytes original = pattern(70000);
  ScratchFile file("two.bin", original);
  Captured out;
  ASSERT_EQ(encrypt_with_header(file.path.c_str(), 1, 10, out.sink()), Result::ok);
  ASSERT_EQ(encrypt_with_header(file.path.c_str(), 4, 20, out.sink()), Result::ok);
  EXPECT_EQ(file.bytes().size(), original.size() + 2 * kRecordSize);
  out.text.clear();
  ASSERT_EQ(peek_header(file.path.c_str(), out.sink()), Result::ok);
  EXPECT_NE(out.text.find(" two.bin 4 14 v o\r\n"), std::string::npos) << out.text;
  EXPECT_EQ(decrypt_with_header(file.path.c_str(), 1, 10, out.sink()), Result::failed);
  ASSERT_EQ(decrypt_with_header(file.path.c_str(), 4, 20, out.sink()), Result::ok);
  ASSERT_EQ(decrypt_with_header(file.path.c_str(), 1, 10, out.sink()), Result::ok);
  EXPECT_EQ(file.bytes(), original);
  // Decrypted once more: the file no longer ends in a record.
  EXPECT_EQ(decrypt_with_header(file.path.c_str(), 1, 10, out.sink()), Result::failed);
  EXPECT_EQ(file.bytes(), original);
}

TEST(Operations, FactorZeroLeavesDataButIsRecorded) {
  const Bytes original = pattern(1000);
  ScratchFile file("zero.bin", original);
  Captured out;
  ASSERT_EQ(encrypt_with_header(file.path.c_str(), 1, 256, out.sink()), Result::ok);
  const Bytes encrypted = file.bytes();
  EXPECT_TRUE(std::equal(original.begin(), original.end(), encrypted.begin()));
  EXPECT_EQ(encrypted[original.size() + kFactorOffset], 0);
  EXPECT_EQ(decrypt_with_header(file.path.c_str(), 1, 256, out.sink()), Result::failed);
  EXPECT_EQ(out.text, "tavo en file(zero.bin) ok.\r\ntavo de file(zero.bin) p!=p\r\n");
}

TEST(Operations, PeekShowsTheNameAtEncryptionTime) {
  ScratchFile first("before.bin", pattern(10));
  Captured out;
  ASSERT_EQ(encrypt_with_header(first.path.c_str(), 3, 200, out.sink()), Result::ok);
  ScratchFile moved("after.bin");
  std::remove(moved.path.c_str());  // rename does not replace a file on Windows
  ASSERT_EQ(std::rename(first.path.c_str(), moved.path.c_str()), 0);
  out.text.clear();
  ASSERT_EQ(peek_header(moved.path.c_str(), out.sink()), Result::ok);
  EXPECT_NE(out.text.find(" t a before.bin 3 c8 v o\r\n"), std::string::npos) << out.text;
  ASSERT_EQ(decrypt_with_header(moved.path.c_str(), 3, 200, out.sink()), Result::ok);
  EXPECT_EQ(moved.bytes(), pattern(10));
}

// After the last flush fails, the disk may hold the finished file or the
// journal: running the same command again could encrypt twice.
TEST(Operations, AFailedLastFlushDoesNotSayTheSameCommandFinishes) {
  test::MemoryFiles files(pattern(1000));
  Captured out, errors;
  Channels channels(out.sink(), errors.sink());
  channels.files = &files;
  files.flushes_until_failure = 4;  // two slots, the data with the record, the size
  EXPECT_EQ(encrypt_with_header("f.bin", 3, 9, channels), Result::failed);
  EXPECT_EQ(out.text, "tavo en file(f.bin) io error\r\n");
  EXPECT_NE(errors.text.find("check with x=xxx"), std::string::npos) << errors.text;
}

// Files that are write counters: a flush of a file takes its count as it
// is when the flush begins, then takes a while, so other flushes pile up.
class CountingFiles : public platform::FileSystem {
 public:
  static constexpr int kFiles = 8;
  explicit CountingFiles(bool fail) : fail_(fail) {}
  std::atomic<int> written[kFiles] = {};
  int durable[kFiles] = {};
  std::mutex durable_lock;

  bool write_at(platform::File file, std::int64_t, const void*, std::size_t) override {
    ++written[file.handle];
    return true;
  }
  std::vector<std::size_t> group_sizes;  // of each flush, under durable_lock

  bool flush_together(const platform::File* files, std::size_t count) override {
    std::vector<int> counts;
    for (std::size_t i = 0; i < count; ++i) counts.push_back(written[files[i].handle]);
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    const std::lock_guard<std::mutex> lock(durable_lock);
    for (std::size_t i = 0; i < count; ++i) durable[files[i].handle] = counts[i];
    group_sizes.push_back(count);
    return !fail_;
  }
  std::string error_text() override { return "the disk is gone"; }
  // The file named by its number.
  platform::OpenStatus open(const char* path, platform::Access, platform::File& file) override {
    file.handle = std::atoi(path);
    return platform::OpenStatus::opened;
  }
  bool size(platform::File, std::int64_t&) override { return false; }
  bool read_at(platform::File, std::int64_t, void*, std::size_t, std::size_t&) override {
    return false;
  }
  bool set_size(platform::File, std::int64_t) override { return false; }
  bool flush(platform::File) override { return false; }
  bool close(platform::File) override { return true; }

 private:
  bool fail_;
};

TEST(FlushGroup, AFlushCoversEveryWriteBeforeItAndItsFailureReachesEveryWaiter) {
  for (bool fail : {false, true}) {
    CountingFiles files(fail);
    FlushGroup group(files);
    std::vector<std::thread> runs;
    for (int index = 0; index < CountingFiles::kFiles; ++index) {
      runs.emplace_back([&, index] {
        const platform::File file{index};
        for (int round = 0; round < 40; ++round) {
          group.write_at(file, 0, nullptr, 0);
          const int wrote = files.written[index];
          ASSERT_EQ(group.flush(file), !fail);
          if (fail) {
            ASSERT_EQ(group.error_text(), "the disk is gone");
          } else {
            const std::lock_guard<std::mutex> lock(files.durable_lock);
            ASSERT_EQ(files.durable[index], wrote) << "file " << index << ", round " << round;
          }
        }
      });
    }
    for (std::thread& run : runs) run.join();
  }
}

// Runs that go on together take each step together: the next flush waits
// for every file open in the group (here as long as it takes) and no longer
// for one that has closed.
TEST(FlushGroup, EachFlushGathersEveryRunStillOpen) {
  CountingFiles files(false);
  FlushGroup group(files, {std::chrono::hours(1), std::chrono::hours(1)});
  constexpr int kRounds = 6, kLeavesAfter = 3;
  std::atomic<int> opened{0};
  std::vector<std::thread> runs;
  for (int index = 0; index < CountingFiles::kFiles; ++index) {
    runs.emplace_back([&, index] {
      platform::File file{};
      ASSERT_EQ(group.open(std::to_string(index).c_str(), platform::Access::update, file),
                platform::OpenStatus::opened);
      for (++opened; opened < CountingFiles::kFiles;) std::this_thread::yield();
      for (int round = 0; round < (index == 0 ? kLeavesAfter : kRounds); ++round) {
        group.write_at(file, 0, nullptr, 0);
        ASSERT_TRUE(group.flush(file));
      }
      group.close(file);
    });
  }
  for (std::thread& run : runs) run.join();
  std::vector<std::size_t> expected(kLeavesAfter, CountingFiles::kFiles);
  expected.resize(kRounds, CountingFiles::kFiles - 1);
  EXPECT_EQ(files.group_sizes, expected);
}

// A kernel's flushes as Linux has them: a failed write back counts in the
// file's and the file system's error sequences; a descriptor samples both
// when it opens (an error no one saw yet still counts for it) and is told
// of each later failure once. syncfs writes back every file of its file
// system, and makes them durable only where it flushes all (not FUSE).
class KernelModel final : public SystemFlushes {
 public:
  struct Errors {
    int count = 0;
    bool seen = true;
    int sample() const { return seen ? count : 0; }
    void fail() { ++count, seen = false; }
    bool report(int& cursor) {
      if (cursor == count) return true;
      cursor = count, seen = true;
      return false;
    }
  };
  struct Inode {
    Inode(int on) : device(on) {}  // NOLINT: a list of devices makes the inodes
    int device;
    bool dirty = false, durable = true, failing = false;
    Errors errors;
  };
  struct Descriptor {
    int inode, file_cursor, device_cursor;
  };
  bool flushes_all[2] = {true, false};  // an ext4 and a FUSE file system
  Errors device_errors[2];
  std::vector<Inode> inodes;
  std::vector<Descriptor> descriptors;

  platform::File open(std::size_t inode) {
    const Inode& node = inodes[inode];
    descriptors.push_back(
        {static_cast<int>(inode), node.errors.sample(), device_errors[node.device].sample()});
    return {static_cast<std::intptr_t>(descriptors.size() - 1)};
  }
  void write(platform::File file) {
    Inode& node = inode_of(file);
    node.dirty = true, node.durable = false;
  }

  bool file_system(platform::File file, std::uint64_t& device, bool& all) override {
    device = static_cast<std::uint64_t>(inode_of(file).device);
    all = flushes_all[device];
    return true;
  }
  bool flush_file_system(platform::File file) override {
    const int device = inode_of(file).device;
    for (Inode& node : inodes) {
      if (node.device == device) write_back(node, flushes_all[device]);
    }
    return device_errors[device].report(descriptors[file.handle].device_cursor);
  }
  bool no_write_failed(platform::File file) override {
    return inode_of(file).errors.report(descriptors[file.handle].file_cursor);
  }
  bool flush(platform::File file) override {
    write_back(inode_of(file), true);
    return no_write_failed(file);
  }

 private:
  Inode& inode_of(platform::File file) { return inodes[descriptors[file.handle].inode]; }
  void write_back(Inode& node, bool durable) {
    if (!node.dirty) return;
    node.dirty = false;
    if (node.failing) {
      node.errors.fail();
      device_errors[node.device].fail();
    } else {
      node.durable = node.durable || durable;
    }
  }
};

// A shared flush that says true has made every file durable, on FUSE too, and
// a file whose write back failed hears of it, whoever saw the failure first.
TEST(SharedFlush, IsAsStrongAsEachFilesOwnFlush) {
  for (int device : {0, 1}) {
    KernelModel kernel;
    kernel.inodes = {{device}, {device}, {device}};
    const platform::File files[] = {kernel.open(0), kernel.open(1), kernel.open(2)};
    for (const platform::File file : files) kernel.write(file);
    EXPECT_TRUE(flush_files(kernel, files, 3));
    for (const auto& node : kernel.inodes) EXPECT_TRUE(node.durable) << "device " << device;
  }
  // B's page fails while another group flushes through X and sees the error;
  // D opens after that, and then D and B flush together.
  KernelModel kernel;
  kernel.inodes = {{0}, {0}, {0}};
  const platform::File x = kernel.open(0), b = kernel.open(1);
  kernel.inodes[1].failing = true;
  kernel.write(b);
  EXPECT_FALSE(flush_files(kernel, &x, 1));
  const platform::File group[] = {kernel.open(2), b};
  kernel.write(group[0]);
  EXPECT_FALSE(flush_files(kernel, group, 2));
}

#ifndef _WIN32
// Stop signals that come together are one request; one after a pause ends
// the process as the signal would.
TEST(InterruptsDeathTest, SignalsTogetherAreOneRequestAndOneAfterAPauseEnds) {
  EXPECT_EXIT(
      {
        platform::catch_interrupts();
        for (int signal_number : {SIGINT, SIGINT, SIGHUP, SIGTERM}) raise(signal_number);
        if (!platform::interrupt_requested()) _exit(3);
        std::this_thread::sleep_for(std::chrono::milliseconds(platform::kRepeatPauseMs + 100));
        raise(SIGTERM);
        _exit(4);
      },
      testing::KilledBySignal(SIGTERM), "");
}
#endif

}  // namespace
}  // namespace tavo
