// Files that share their flushes (flush_group.h): one thread at a time
// leads: it gathers the runs that ask, flushes for all of them through
// shared_flush.h, wakes each, and hands the next flush to a run that asked
// meanwhile.
#include "flush_group.h"

#include <algorithm>

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
  return joined(ForwardingFiles::open(path, access, file));
}

OpenStatus FlushGroup::open_in(const Folder* folder, const char* name, Access access, File& file) {
  flush_error.clear();
  return joined(ForwardingFiles::open_in(folder, name, access, file));
}

OpenStatus FlushGroup::joined(OpenStatus status) {
  if (status == OpenStatus::opened) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++members_;
  }
  return status;
}

bool FlushGroup::close(File file) {
  flush_error.clear();
  const bool closed = ForwardingFiles::close(file);
  const std::lock_guard<std::mutex> lock(mutex_);
  if (members_ > 0) --members_;
  // The flush being gathered need not wait for this file any more.
  if (waiting_.size() >= members_) all_arrived_.notify_one();
  return closed;
}

std::string FlushGroup::error_text() {
  return flush_error.empty() ? ForwardingFiles::error_text() : flush_error;
}

bool FlushGroup::flush(File file) {
  const auto self = std::make_shared<Waiter>();
  self->file = file;
  std::unique_lock<std::mutex> lock(mutex_);
  waiting_.push_back(self);
  last_arrival_ = Clock::now();
  if (leading_) {
    if (waiting_.size() >= members_) all_arrived_.notify_one();
    lock.unlock();
    std::unique_lock<std::mutex> own(self->mutex);
    self->woken.wait(own, [&] { return self->state != Waiter::State::waiting; });
    if (self->state == Waiter::State::done) {
      flush_error = self->error;
      return self->flushed;
    }
    own.unlock();
    lock.lock();  // handed the next flush, which this call is part of
  }
  leading_ = true;
  lead(*self, lock);
  flush_error = self->error;
  return self->flushed;
}

void FlushGroup::gather(std::unique_lock<std::mutex>& lock) {
  // The members that have not asked yet are working on their next step, or
  // on something else (a large read, the disk): wait while they keep coming.
  const Clock::time_point latest = Clock::now() + gathering_.longest;
  while (waiting_.size() < members_) {
    const Clock::time_point until = std::min(last_arrival_ + gathering_.quiet, latest);
    if (Clock::now() >= until) break;
    all_arrived_.wait_until(lock, until);
  }
}

void FlushGroup::lead(Waiter& self, std::unique_lock<std::mutex>& lock) {
  gather(lock);
  // Every file waiting now asked before the flush begins, so it covers
  // their writes (J10).
  std::vector<std::shared_ptr<Waiter>> group;
  group.swap(waiting_);
  lock.unlock();
  std::vector<File> files;
  files.reserve(group.size());
  for (const auto& waiter : group) files.push_back(waiter->file);
  const bool flushed = inner().flush_together(files.data(), files.size());
  const std::string error = flushed ? std::string() : inner().error_text();
  lock.lock();
  // Those that asked meanwhile flush next, led by the first of them.
  const std::shared_ptr<Waiter> next = waiting_.empty() ? nullptr : waiting_.front();
  leading_ = next != nullptr;
  lock.unlock();
  if (next != nullptr) wake(*next, Waiter::State::leads);
  self.flushed = flushed;
  self.error = error;
  for (const auto& waiter : group) {
    if (waiter.get() == &self) continue;
    waiter->flushed = flushed;
    waiter->error = error;
    wake(*waiter, Waiter::State::done);
  }
}

void FlushGroup::wake(Waiter& waiter, Waiter::State state) {
  {
    const std::lock_guard<std::mutex> lock(waiter.mutex);
    waiter.state = state;
  }
  waiter.woken.notify_one();
}

}  // namespace tavo
