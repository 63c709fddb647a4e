// Files that share their flushes: the runs of a run over many files go on
// side by side, and each flush one of them asks for is a flush of the
// system that covers every file whose run waits for one at that moment.
//
// For each file this is exactly a flush of its own (J10 in run.h): the call
// returns true only after a flush that began after the call and is as
// strong as the file's own (shared_flush.h), so every write and size change
// the run made before it is durable, and the order of its protocol is kept. A failed flush fails
// every run that waited for it (J8).
#ifndef TAVO_FLUSH_GROUP_H
#define TAVO_FLUSH_GROUP_H

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform.h"

namespace tavo {

class FlushGroup final : public platform::ForwardingFiles {
 public:
  explicit FlushGroup(platform::FileSystem& files) : ForwardingFiles(files) {}

  bool flush(platform::File file) override;
  // The reason of a failed flush, which another thread may have met for this
  // one, until the thread opens or closes a file.
  std::string error_text() override;
  platform::OpenStatus open(const char* path, platform::Access access,
                            platform::File& file) override;
  platform::OpenStatus open_in(const platform::Folder* folder, const char* name,
                               platform::Access access, platform::File& file) override;
  bool close(platform::File file) override;

 private:
  struct Waiter {
    platform::File file;
    bool done = false;
    bool flushed = false;
    std::string error;
  };

  std::mutex mutex_;
  std::condition_variable flush_ended_;
  std::vector<Waiter*> waiting_;  // for the next flush
  bool flushing_ = false;
};

}  // namespace tavo

#endif  // TAVO_FLUSH_GROUP_H
