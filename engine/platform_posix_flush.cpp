// The Linux file layer's shared flush: one syncfs for the files of one file
// system where that is as strong as a flush of each (shared_flush.h). The
// file layer that calls it is platform_posix_files.cpp.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // syncfs, sync_file_range
#endif

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <utility>
#include <vector>

#include "platform_posix.h"
#include "shared_flush.h"

namespace tavo::platform {
namespace {

// File systems whose syncfs makes every file's data durable: ext4 (also
// for ext2 and ext3) writes back, commits its journal and flushes the
// disk's cache even when nothing was left to commit. XFS and Btrfs send no
// flush when their log is idle, which a rewrite in place can leave it, and
// FUSE passes syncfs to the server only where it asked for it (most never
// do): there each file flushes on its own.
constexpr long kFlushedBySyncfs[] = {0xEF53};

// The system's flushes for a shared flush (shared_flush.h), with this
// thread's errno left as the failing call set it.
class PosixFlushes final : public tavo::SystemFlushes {
 public:
  bool file_system(File file, std::uint64_t& device, bool& flushes_all) override {
    struct stat info {};
    if (::fstat(fd_of(file), &info) != 0) return false;
    device = static_cast<std::uint64_t>(info.st_dev);
    // The files of a group mostly share one file system: its type is asked once.
    const auto known = std::find_if(types_.begin(), types_.end(),
                                    [&](const auto& type) { return type.first == device; });
    if (known != types_.end()) {
      flushes_all = known->second;
      return true;
    }
    struct statfs system {};
    if (::fstatfs(fd_of(file), &system) != 0) return false;
    flushes_all = std::find(std::begin(kFlushedBySyncfs), std::end(kFlushedBySyncfs),
                            static_cast<long>(system.f_type)) != std::end(kFlushedBySyncfs);
    types_.emplace_back(device, flushes_all);
    return true;
  }
  bool flush_file_system(File file) override { return ::syncfs(fd_of(file)) == 0; }
  bool no_write_failed(File file) override {
    // Waits for nothing (syncfs wrote everything back), then reports this
    // descriptor's unseen write-back failures of the file, as fdatasync does.
    return ::sync_file_range(fd_of(file), 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE) == 0;
  }
  bool flush(File file) override { return ::fdatasync(fd_of(file)) == 0; }

 private:
  std::vector<std::pair<std::uint64_t, bool>> types_;  // device, flushes_all
};

}  // namespace

// syncfs reports a failed write back of the file system from Linux 5.8 on,
// and a failure of the file system's own flush (its journal) from 5.17 on;
// before, it may return 0 over either, and only fdatasync can be trusted.
bool syncfs_reports_errors() {
  static const bool reports = [] {
    utsname name{};
    int major = 0, minor = 0;
    return ::uname(&name) == 0 && std::sscanf(name.release, "%d.%d", &major, &minor) == 2 &&
           (major > 5 || (major == 5 && minor >= 17));
  }();
  return reports;
}

bool flush_by_file_system(const File* files, std::size_t count) {
  PosixFlushes system;
  return tavo::flush_files(system, files, count);
}

}  // namespace tavo::platform
