// The runner of a run over many files (runner.h): worker threads take the
// files in their order and run each (batch_file.h), opening in turn
// (in_turn.h) with shared flushes (flush_group.h); each file's lines print
// once every file before it has.
#include "runner.h"

#include <algorithm>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "flush_group.h"
#include "in_turn.h"
#include "output.h"
#include "platform.h"

namespace tavo {
namespace {

// Files whose runs go on side by side, so that their flushes can be shared
// and one file is worked on while another waits for the disk. Up to
// kMaxRunsAtOnce small files: their runs take their steps together, one
// flush for each step of all (flush_group.h), and more of them need fewer
// flushes. Larger files run on the first few workers only, since a worker
// keeps its buffer of kIoSize bytes, whose pages count in the memory once a
// file has used them: up to kMidRunsAtOnce files up to kSharedFlushSize, and
// kLargeRunsAtOnce of any size, enough to keep both cores busy while the
// others wait for their flushes. A 32-bit process runs fewer: each thread
// takes a stack and a buffer of its address space.
constexpr std::size_t kMaxRunsAtOnce = sizeof(void*) >= 8 ? 128 : 32;
constexpr std::size_t kMidRunsAtOnce = 16;
constexpr std::size_t kLargeRunsAtOnce = 4;
constexpr std::int64_t kSmallFileSize = std::int64_t{64} << 10;
// Files up to this size share their flushes: for them a flush costs more
// than writing their bytes. A larger file flushes alone, so its flush does
// not wait for the bytes the other runs are writing meanwhile.
constexpr std::int64_t kSharedFlushSize = std::int64_t{1} << 20;

// The files of a run over many files, run on worker threads in their order.
// Each file's lines are kept until every file before it has printed, so the
// output is that of one file after the other; the flushes of the runs going
// on at the same time are shared (flush_group.h).
class Runner {
 public:
  Runner(FileList& list, const Batch& batch, const Channels& channels, std::size_t runs_at_once)
      : list_(list),
        runs_at_once_(runs_at_once),
        batch_(batch),
        channels_(channels),
        files_(channels.files != nullptr ? *channels.files : platform::system_files()),
        group_(files_),
        turns_(list.files.size()),
        items_(list.files.size()) {
    for (const ListedFile& item : list.files) bytes_total_ += item.size;
    for (std::size_t index = 0; index < items_.size(); ++index) {
      items_[index].runner = this;
      items_[index].index = index;
    }
  }

  // Runs every file and prints its lines; gives how each that ran ended.
  std::vector<FileEnd> run() {
    const std::size_t runs = worker_count();
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < runs; ++i) {
      workers.emplace_back([this, i] { work(i); });
    }
    std::vector<FileEnd> ends = print_in_order(runs > 1);
    for (std::thread& worker : workers) worker.join();
    return ends;
  }

 private:
  // One file's run: where its sinks and its observer point, its lines and
  // how it ended.
  struct ItemState {
    Runner* runner = nullptr;
    std::size_t index = 0;
    std::vector<std::pair<bool, std::string>> lines;  // (to standard error, text)
    std::int64_t done = 0;                            // bytes of its pass
    bool ended = false;
    FileEnd result = FileEnd::failed;
    // While it runs and until it has printed: its path, as it opens and as
    // printed, and the reason of a failure or a skip.
    std::string path, shown, reason;
  };

  std::size_t worker_count() const {
    // Only a run that flushes gains from company; a file system a test swapped
    // in need not bear several threads.
    const bool together =
        batch_.command != nullptr && !batch_.options.dry_run && channels_.files == nullptr;
    return std::min(together ? workers_needed() : 1, items_.size());
  }

  // No more workers than there are files for: each one's thread and buffer
  // count in the memory.
  std::size_t workers_needed() const {
    std::size_t needed = kLargeRunsAtOnce;
    for (const ListedFile& item : list_.files) {
      if (item.size <= kSmallFileSize) return runs_at_once_;
      if (item.size <= kSharedFlushSize) needed = kMidRunsAtOnce;
    }
    return std::min(needed, runs_at_once_);
  }

  // The largest file the worker `worker` takes.
  static std::int64_t largest_for(std::size_t worker) {
    if (worker < kLargeRunsAtOnce) return std::numeric_limits<std::int64_t>::max();
    return worker < kMidRunsAtOnce ? kSharedFlushSize : kSmallFileSize;
  }

  // Prints the files' lines in their order as they end; gives how each ended.
  std::vector<FileEnd> print_in_order(bool side_by_side) {
    std::vector<FileEnd> ends;
    std::size_t printed = 0;
    std::unique_ptr<IoBuffer> buffer;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      for (; printed < next_ && items_[printed].ended; ++printed) {
        ItemState& item = items_[printed];
        if (item.result == FileEnd::held && side_by_side) run_again(printed, buffer, lock);
        print_lines(item);
        tell_end(printed);
        ends.push_back(item.result);
      }
      if (printed == next_ && running_.empty() && (stopped_ || next_ == items_.size())) break;
      printing_ = printed;
      changed_.wait(lock);
    }
    return ends;
  }

  // A file found held, maybe by a file before it under another name (a hard
  // link, a name given twice), which is done now: it runs again as it would
  // have run after that one.
  void run_again(std::size_t index, std::unique_ptr<IoBuffer>& buffer,
                 std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    if (!buffer) buffer.reset(new IoBuffer);
    ItemState& item = items_[index];
    item.lines.clear();
    item.reason.clear();
    item.result = run_item(index, buffer->bytes);
    lock.lock();
  }

  void print_lines(ItemState& item) {
    const bool shown =
        !batch_.options.quiet || item.result == FileEnd::failed || item.result == FileEnd::held;
    for (const auto& [to_errors, text] : item.lines) {
      const Sink sink = to_errors ? channels_.errors : channels_.out;
      if (shown) sink.write(sink.context, text.data(), text.size());
    }
    item.lines.clear();
  }

  // Tells the observer that the file of `item` is the one running now.
  void tell_start(const ItemState& item) const {
    const Observer& observer = channels_.observer;
    if (observer.file_started == nullptr) return;
    observer.file_started(observer.context, static_cast<std::int64_t>(item.index) + 1,
                          static_cast<std::int64_t>(items_.size()), item.shown.c_str(),
                          bytes_before(item.index), bytes_total_);
  }

  // Tells the observer how the file `index` ended, and forgets its path.
  void tell_end(std::size_t index) {
    ItemState& item = items_[index];
    const Observer& observer = channels_.observer;
    if (observer.file_ended != nullptr && item.result != FileEnd::cancelled) {
      observer.file_ended(observer.context, static_cast<std::int64_t>(index) + 1,
                          item.shown.c_str(), item.result, item.reason.c_str());
    }
    item.path = std::string();
    item.shown = std::string();
    item.reason = std::string();
  }

  std::int64_t size_of(std::size_t index) const { return list_.files[index].size; }

  bool cancel_requested() const {
    const Observer& observer = channels_.observer;
    return observer.cancel_requested != nullptr && observer.cancel_requested(observer.context);
  }

  // The bytes done of all files but those of the file `index`, which reports its own.
  std::int64_t bytes_before(std::size_t index) const {
    std::int64_t bytes = bytes_ended_;
    for (std::size_t other : running_) {
      if (other != index) bytes += items_[other].done;
    }
    return bytes;
  }

  void work(std::size_t worker) {
    const std::unique_ptr<IoBuffer> buffer(new IoBuffer);  // not zeroed: only read into
    const std::int64_t largest = largest_for(worker);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      while (next_ < items_.size() && !stopped_ && size_of(next_) > largest) {
        ++waiting_for_room_;
        changed_.wait(lock);
        --waiting_for_room_;
      }
      if (next_ >= items_.size() || stopped_) break;
      if (cancel_requested()) {
        stopped_ = true;
        break;
      }
      const std::size_t index = next_++;
      start_item(index);
      lock.unlock();
      const FileEnd result = run_item(index, buffer->bytes);
      lock.lock();
      end_item(index, result);
    }
    changed_.notify_all();
  }

  void start_item(std::size_t index) {
    if (waiting_for_room_ > 0) changed_.notify_all();  // a next file for them
    running_.push_back(index);
    ItemState& item = items_[index];
    item.path = list_.folders.printed(list_.files[index].folder, list_.files[index].name);
    item.shown = shown_name(item.path);
    tell_start(item);
  }

  void end_item(std::size_t index, FileEnd result) {
    items_[index].result = result;
    items_[index].ended = true;
    bytes_ended_ += size_of(index);
    running_.erase(std::find(running_.begin(), running_.end(), index));
    if (result == FileEnd::cancelled) stopped_ = true;
    // Only a change someone waits for wakes: the file next to print, a
    // worker free for the next file, the end.
    if (index == printing_ || waiting_for_room_ > 0 || running_.empty() || stopped_) {
      changed_.notify_all();
    }
  }

  static void keep_out(void* context, const char* bytes, std::size_t count) {
    static_cast<ItemState*>(context)->lines.emplace_back(false, std::string(bytes, count));
  }
  static void keep_errors(void* context, const char* bytes, std::size_t count) {
    static_cast<ItemState*>(context)->lines.emplace_back(true, std::string(bytes, count));
  }
  static void on_progress(void* context, std::int64_t done, std::int64_t total) {
    auto* item = static_cast<ItemState*>(context);
    Runner& self = *item->runner;
    const std::lock_guard<std::mutex> lock(self.mutex_);
    item->done = done;
    // The file that reports is the one the progress shows.
    self.tell_start(*item);
    self.channels_.observer.progress(self.channels_.observer.context, done, total);
  }
  static bool on_cancel_question(void* context) {
    Runner& self = *static_cast<ItemState*>(context)->runner;
    const std::lock_guard<std::mutex> lock(self.mutex_);
    return self.cancel_requested();
  }

  FileEnd run_item(std::size_t index, std::uint8_t* buffer) {
    const FileEnd result = run_in_turn(index, buffer);
    turns_.pass(index);  // a file skipped or refused before its open
    return result;
  }

  // One file: its lines go to its own state, a small file's flushes to the group.
  FileEnd run_in_turn(std::size_t index, std::uint8_t* buffer) {
    ItemState& state = items_[index];
    Observer observer;
    if (channels_.observer.progress != nullptr) observer.progress = &Runner::on_progress;
    if (channels_.observer.cancel_requested != nullptr) {
      observer.cancel_requested = &Runner::on_cancel_question;
    }
    observer.context = &state;
    Channels channels(Sink{&Runner::keep_out, &state}, Sink{&Runner::keep_errors, &state},
                      observer);
    // A file the listing identified has no other name among the files run
    // (skip_other_names): it opens at once, and many runs open side by side.
    const bool waits = !list_.files[index].identity.known();
    InTurn files(size_of(index) <= kSharedFlushSize ? group_ : files_, turns_, index, waits);
    channels.files = &files;
    channels.zone_size = channels_.zone_size;
    channels.hash_ahead = channels_.hash_ahead;
    channels.buffer = buffer;
    channels.keep_time = batch_.options.keep_time;
    return run_listed_file(batch_, list_, index, state.path, state.shown, channels, state.reason);
  }

  FileList& list_;
  const std::size_t runs_at_once_;
  const Batch& batch_;
  const Channels& channels_;
  platform::FileSystem& files_;
  FlushGroup group_;
  std::int64_t bytes_total_ = 0;

  std::mutex mutex_;
  std::condition_variable changed_;  // a file started or ended, or the run stopped
  OpenTurns turns_;
  std::vector<ItemState> items_;
  std::size_t next_ = 0;              // the first file no worker took yet
  std::size_t printing_ = 0;          // the file the printing thread waits for
  std::size_t waiting_for_room_ = 0;  // workers waiting for a file they may take
  std::vector<std::size_t> running_;
  std::int64_t bytes_ended_ = 0;
  bool stopped_ = false;
};

}  // namespace

std::vector<FileEnd> run_in_order(FileList& list, std::size_t folder_budget, const Batch& batch,
                                  const Channels& channels) {
  // Each run holds its file and at most one folder beyond the budget's.
  Runner runner(list, batch, channels, std::min(kMaxRunsAtOnce, folder_budget / 2 + 1));
  return runner.run();
}

}  // namespace tavo
