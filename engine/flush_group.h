// Files that share their flushes: the runs of a run over many files go on
// side by side, and each flush one of them asks for is a flush of the
// system that covers every file whose run waits for one at that moment.
//
// For each file this is exactly a flush of its own (J10 in run.h): the call
// returns true only after a flush that began after the call and is as
// strong as the file's own (shared_flush.h), so every write and size change
// the run made before it is durable, and the order of its protocol is kept.
// A failed flush fails every run that waited for it (J8).
//
// The files opened through the group are its members. The thread that
// flushes next first waits, briefly, for the members still working to ask
// too, so that the runs take their steps together and one flush serves each
// step of many files.
#ifndef TAVO_FLUSH_GROUP_H
#define TAVO_FLUSH_GROUP_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform.h"

namespace tavo {

class FlushGroup final : public platform::ForwardingFiles {
 public:
  // How long the next flush waits for the members that have not asked yet:
  // until none asked for `quiet`, and never past `longest` in all.
  struct Gathering {
    std::chrono::microseconds quiet{200};
    std::chrono::microseconds longest{3000};
  };

  explicit FlushGroup(platform::FileSystem& files) : FlushGroup(files, Gathering()) {}
  FlushGroup(platform::FileSystem& files, Gathering gathering)
      : ForwardingFiles(files), gathering_(gathering) {}

  bool flush(platform::File file) override;
  // The reason of a failed flush, which another thread may have met for this
  // one, until the thread opens or closes a file.
  std::string error_text() override;
  platform::OpenStatus open(const char* path, platform::Access access,
                            platform::File& file) override;
  platform::OpenStatus open_in(const platform::Folder* folder, const char* name,
                               platform::Access access, platform::File& file) override;
  bool close(platform::File file) override;
  // Nothing: the group's flush writes every member's pages back in one go,
  // where a request per small file would cost a call into the device each.
  void start_writeback(platform::File, std::int64_t, std::int64_t, bool) override {}

 private:
  using Clock = std::chrono::steady_clock;
  // A run waiting for a flush: woken alone, by the thread that flushed for
  // it or that hands it the next flush. Shared with that thread, which wakes
  // it after letting go of its lock, so that it does not wake only to wait
  // for the lock.
  struct Waiter {
    enum class State { waiting, leads, done };
    platform::File file;
    std::mutex mutex;
    std::condition_variable woken;
    State state = State::waiting;  // under `mutex`
    bool flushed = false;
    std::string error;
  };

  platform::OpenStatus joined(platform::OpenStatus status);
  void lead(Waiter& self, std::unique_lock<std::mutex>& lock);
  void gather(std::unique_lock<std::mutex>& lock);
  static void wake(Waiter& waiter, Waiter::State state);

  const Gathering gathering_;
  std::mutex mutex_;
  std::condition_variable all_arrived_;           // for the thread that gathers
  std::vector<std::shared_ptr<Waiter>> waiting_;  // for the next flush
  bool leading_ = false;                          // a thread gathers or flushes
  std::size_t members_ = 0;                       // files open for a run
  Clock::time_point last_arrival_;
};

}  // namespace tavo

#endif  // TAVO_FLUSH_GROUP_H
