// Opening the file of an operation: one route for a path and for a name in a
// walked folder, closing on every way out, the run's buffer. Reports go
// through operation_outcome.h.
#ifndef TAVO_OPERATION_OPEN_H
#define TAVO_OPERATION_OPEN_H

#include <cstdint>
#include <memory>
#include <string>

#include "operation_outcome.h"
#include "operations.h"
#include "platform.h"
#include "record.h"

namespace tavo {

// Closes the file when it goes out of scope, unless closed already.
class OpenFile {
 public:
  OpenFile(platform::FileSystem& files, platform::File file) : files_(files), file_(file) {}
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() {
    if (open_) files_.close(file_);
  }
  platform::File get() const { return file_; }
  bool close() {
    open_ = false;
    return files_.close(file_);
  }

 private:
  platform::FileSystem& files_;
  platform::File file_;
  bool open_ = true;
};

// The files the channels name, or the system's.
platform::FileSystem& files_of(const Channels& channels);

// The buffer the channels lend, or one of its own in `own`.
std::uint8_t* buffer_for(const Channels& channels, std::unique_ptr<IoBuffer>& own);

// Opens the file for a command, or gives the outcome that refuses it.
Outcome open_for(const Command& command, platform::Access access, platform::File& file,
                 std::string& detail);

// Reads the 512 bytes at `offset`; false on a failure or a short read.
bool read_record(platform::FileSystem& files, platform::File file, std::int64_t offset,
                 Record& record);

}  // namespace tavo

#endif  // TAVO_OPERATION_OPEN_H
