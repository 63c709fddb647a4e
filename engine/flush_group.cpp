// Files that share their flushes (flush_group.h): the thread that finds no
// flush going on flushes for everyone waiting, through shared_flush.h.
#include "flush_group.h"

namespace tavo {
namespace {

// The reason of this thread's failed flush; empty when its last flush did
// not fail, or a file was opened or closed since.
thread_local std::string flush_error;

}  // namespace

using platform::Access;
using platform::File;
using platform::Folder;
using platform::OpenStatus;

OpenStatus FlushGroup::open(const char* path, Access access, File& file) {
  flush_error.clear();
  return ForwardingFiles::open(path, access, file);
}

OpenStatus FlushGroup::open_in(const Folder* folder, const char* name, Access access, File& file) {
  flush_error.clear();
  return ForwardingFiles::open_in(folder, name, access, file);
}

bool FlushGroup::close(File file) {
  flush_error.clear();
  return ForwardingFiles::close(file);
}

std::string FlushGroup::error_text() {
  return flush_error.empty() ? ForwardingFiles::error_text() : flush_error;
}

bool FlushGroup::flush(File file) {
  Waiter self{file, false, false, {}};
  std::unique_lock<std::mutex> lock(mutex_);
  waiting_.push_back(&self);
  while (!self.done) {
    if (flushing_) {
      flush_ended_.wait(lock);
      continue;
    }
    // Nobody flushes: this thread flushes for every file waiting now. The
    // flush begins after each of them asked, so it covers their writes.
    flushing_ = true;
    std::vector<Waiter*> group;
    group.swap(waiting_);
    lock.unlock();
    std::vector<File> files;
    files.reserve(group.size());
    for (const Waiter* waiter : group) files.push_back(waiter->file);
    const bool flushed = inner().flush_together(files.data(), files.size());
    const std::string error = flushed ? std::string() : inner().error_text();
    lock.lock();
    for (Waiter* waiter : group) {
      waiter->done = true;
      waiter->flushed = flushed;
      waiter->error = error;
    }
    flushing_ = false;
    flush_ended_.notify_all();
  }
  flush_error = self.error;
  return self.flushed;
}

}  // namespace tavo
