#include "flush_group.h"

namespace tavo {
namespace {

// The reason of this thread's last failed flush, which another thread may
// have met for it; empty when the last failure was not a flush.
thread_local std::string flush_error;

}  // namespace

using platform::Access;
using platform::File;
using platform::Folder;
using platform::OpenStatus;

OpenStatus FlushGroup::open(const char* path, Access access, File& file) {
  flush_error.clear();
  return files_.open(path, access, file);
}

OpenStatus FlushGroup::open_in(const Folder* folder, const char* name, Access access, File& file) {
  flush_error.clear();
  return files_.open_in(folder, name, access, file);
}

bool FlushGroup::size(File file, std::int64_t& size) {
  flush_error.clear();
  return files_.size(file, size);
}

bool FlushGroup::read_at(File file, std::int64_t offset, void* buffer, std::size_t count,
                         std::size_t& got) {
  flush_error.clear();
  return files_.read_at(file, offset, buffer, count, got);
}

bool FlushGroup::write_at(File file, std::int64_t offset, const void* buffer, std::size_t count) {
  flush_error.clear();
  return files_.write_at(file, offset, buffer, count);
}

bool FlushGroup::set_size(File file, std::int64_t size) {
  flush_error.clear();
  return files_.set_size(file, size);
}

void FlushGroup::start_writeback(File file, std::int64_t offset, std::int64_t length) {
  files_.start_writeback(file, offset, length);
}

void FlushGroup::prefetch(File file, std::int64_t offset, std::int64_t length) {
  files_.prefetch(file, offset, length);
}

bool FlushGroup::reserve(File file, std::int64_t offset, std::int64_t length) {
  flush_error.clear();
  return files_.reserve(file, offset, length);
}

bool FlushGroup::close(File file) {
  flush_error.clear();
  return files_.close(file);
}

std::string FlushGroup::error_text() {
  return flush_error.empty() ? files_.error_text() : flush_error;
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
    const bool flushed = files_.flush_together(files.data(), files.size());
    const std::string error = flushed ? std::string() : files_.error_text();
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
