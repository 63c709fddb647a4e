// How one flush of the system serves several files at once, no weaker for
// any of them than the file's own flush (J10 in run.h). flush_group.h
// decides when files flush together; this decides how.
#ifndef TAVO_SHARED_FLUSH_H
#define TAVO_SHARED_FLUSH_H

#include <cstddef>
#include <cstdint>

#include "platform.h"

namespace tavo {

// The system's flushes, as a shared flush uses them: the real ones on Linux,
// a model of a kernel in the tests.
class SystemFlushes {
 public:
  virtual ~SystemFlushes() = default;
  // The file system that holds `file`, and whether its flush of everything
  // (flush_file_system) also makes every file's data and size durable.
  virtual bool file_system(platform::File file, std::uint64_t& device, bool& flushes_all) = 0;
  // Makes everything written to the file system of `file` durable.
  virtual bool flush_file_system(platform::File file) = 0;
  // Whether the writing back of `file` failed since this descriptor last
  // asked, as its own flush would tell: false when it did. Writes nothing
  // back and flushes nothing.
  virtual bool no_write_failed(platform::File file) = 0;
  // The file's own flush.
  virtual bool flush(platform::File file) = 0;
};

// Makes every write and size change so far of each of `count` files
// durable, with one flush of each file system that flushes all, and the
// files' own flushes elsewhere. False, with nothing known about any of them,
// when any flush failed or any file's writing back failed.
bool flush_files(SystemFlushes& system, const platform::File* files, std::size_t count);

}  // namespace tavo

#endif  // TAVO_SHARED_FLUSH_H
