// The Windows file layer's background flush of one file (declared in
// platform_windows.h); the file layer that starts it is
// platform_windows_files.cpp.
#include <system_error>

#include "platform_windows.h"

namespace tavo::platform {

BackgroundFlush::~BackgroundFlush() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();  // after a flush in flight ends
}

// A small file, or the small rest of a zone, is left to the run's flush:
// flushed here too it would cost a thread and a second flush of the disk.
void BackgroundFlush::wrote(std::int64_t bytes, bool flush_follows) {
  std::unique_lock<std::mutex> lock(mutex_);
  pending_ += bytes;
  urgent_ = urgent_ || (flush_follows && pending_ >= kUrgentMinimum);
  if (!due()) return;
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread([this] { work(); });
    } catch (const std::system_error&) {
      return;  // only a hint: the run's own flushes do it all
    }
  }
  if (!flushing_) {
    lock.unlock();
    changed_.notify_all();
  }
}

// Two flushes of one file at once may report a write error to only one of
// them (Linux does, and so Wine), so the run's could succeed over a write the
// background one saw fail; here the run's flush starts only after the
// background one ended and its result was taken.
// A background failure is kept: what it failed to write may be lost,
// whatever later flushes say, so it fails every later flush of the file.
DWORD BackgroundFlush::hold() {
  std::unique_lock<std::mutex> lock(mutex_);
  held_ = true;
  changed_.wait(lock, [this] { return !flushing_; });
  pending_ = 0;  // the run's flush takes all written so far
  urgent_ = false;
  return failure_;
}

void BackgroundFlush::release() {
  const std::lock_guard<std::mutex> lock(mutex_);
  held_ = false;
}

void BackgroundFlush::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || (!held_ && due()); });
    if (stopping_) return;
    pending_ = 0;
    urgent_ = false;
    flushing_ = true;
    lock.unlock();
    const DWORD error = FlushFileBuffers(handle_) ? 0 : GetLastError();
    lock.lock();
    if (error != 0 && failure_ == 0) failure_ = error;
    flushing_ = false;
    changed_.notify_all();
  }
}

}  // namespace tavo::platform
