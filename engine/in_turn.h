// Files that open in the order of a list, whatever thread opens them: the
// runner (runner.cpp) gives each file of a run over many files an InTurn.
#ifndef TAVO_IN_TURN_H
#define TAVO_IN_TURN_H

#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "platform.h"

namespace tavo {

// Whose turn it is to open: the files of a list open one after the other.
class OpenTurns {
 public:
  // Waits until every file before the file `index` opened, or will open none.
  void wait_for(std::size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    passed_.wait(lock, [&] { return opened_ >= index; });
  }
  // The file `index` opened, or will open none; passed once already, nothing.
  void pass(std::size_t index) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (opened_ > index) return;
    opened_ = index + 1;
    passed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable passed_;
  std::size_t opened_ = 0;  // files that opened, or will open none
};

// The files of one run: it opens its file only after the run before it
// has opened its own, so that of two names of one file (a name given
// twice, a hard link) the first runs and the second finds it held, then
// done, as one after the other.
class InTurn final : public platform::ForwardingFiles {
 public:
  InTurn(platform::FileSystem& files, OpenTurns& turns, std::size_t index)
      : ForwardingFiles(files), turns_(turns), index_(index) {}
  platform::OpenStatus open(const char* path, platform::Access access,
                            platform::File& file) override {
    return in_turn([&] { return ForwardingFiles::open(path, access, file); });
  }
  platform::OpenStatus open_in(const platform::Folder* folder, const char* name,
                               platform::Access access, platform::File& file) override {
    return in_turn([&] { return ForwardingFiles::open_in(folder, name, access, file); });
  }

 private:
  template <typename Open>
  platform::OpenStatus in_turn(Open open) {
    turns_.wait_for(index_);
    const platform::OpenStatus status = open();
    turns_.pass(index_);
    return status;
  }

  OpenTurns& turns_;
  std::size_t index_;
};

}  // namespace tavo

#endif  // TAVO_IN_TURN_H
