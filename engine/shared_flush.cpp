// One flush for many files, file system by file system (shared_flush.h).
#include "shared_flush.h"

#include <algorithm>
#include <vector>

namespace tavo {

bool flush_files(SystemFlushes& system, const platform::File* files, std::size_t count) {
  bool flushed = true;
  std::vector<std::uint64_t> devices_flushed;
  std::vector<platform::File> covered;  // by a flush of their file system
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t device = 0;
    bool flushes_all = false;
    if (!system.file_system(files[i], device, flushes_all)) {
      flushed = false;
      continue;
    }
    if (!flushes_all) {
      flushed = system.flush(files[i]) && flushed;
      continue;
    }
    covered.push_back(files[i]);
    if (std::find(devices_flushed.begin(), devices_flushed.end(), device) !=
        devices_flushed.end()) {
      continue;
    }
    flushed = system.flush_file_system(files[i]) && flushed;
    devices_flushed.push_back(device);
  }
  // A flush of the file system reports a failed write back only to a
  // descriptor that has not seen it yet: one seen through another file's
  // descriptor, or by an earlier group, would pass unnoticed. Each file
  // asks for its own failures, as its own flush would.
  for (const platform::File file : covered) flushed = system.no_write_failed(file) && flushed;
  return flushed;
}

}  // namespace tavo
