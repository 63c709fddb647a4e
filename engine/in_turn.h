// Files that open in the order of a list, whatever thread opens them: the
// runner (runner.cpp) gives each file of a run over many files an InTurn.
#ifndef TAVO_IN_TURN_H
#define TAVO_IN_TURN_H

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "platform.h"

namespace tavo {

// Whose turn it is to open: the files of a list open one after the other.
class OpenTurns {
 public:
  explicit OpenTurns(std::size_t count) : opened_(count, false) {}
  // Waits until every file before the file `index` opened, or will open none.
  void wait_for(std::size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    passed_.wait(lock, [&] { return first_unopened_ >= index; });
  }
  // The file `index` opened, or will open none; passed once already, nothing.
  // Files that need not wait may open out of turn: the turn moves past every
  // file opened so far.
  void pass(std::size_t index) {
    const std::lock_guard<std::mutex> lock(mutex_);
    opened_[index] = true;
    const std::size_t before = first_unopened_;
    while (first_unopened_ < opened_.size() && opened_[first_unopened_]) ++first_unopened_;
    if (first_unopened_ != before) passed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable passed_;
  std::vector<bool> opened_;        // opened, or will open none
  std::size_t first_unopened_ = 0;  // the file whose turn it is
};

// The files of one run: unless told it need not wait, it opens its file
// only after every run before it has opened its own, so that of two names
// of one file (a name given twice, a hard link) the first runs and the
// second finds it held, then done, as one after the other.
class InTurn final : public platform::ForwardingFiles {
 public:
  InTurn(platform::FileSystem& files, OpenTurns& turns, std::size_t index, bool waits)
      : ForwardingFiles(files), turns_(turns), index_(index), waits_(waits) {}
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
    if (waits_) turns_.wait_for(index_);
    const platform::OpenStatus status = open();
    turns_.pass(index_);
    return status;
  }

  OpenTurns& turns_;
  std::size_t index_;
  bool waits_;
};

}  // namespace tavo

#endif  // TAVO_IN_TURN_H
