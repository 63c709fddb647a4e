// The runner of a run over many files (runner.h): the files run on worker
// threads in their order, with shared flushes (flush_group.h), and print
// as one file after the other.
#include "runner.h"

#include <algorithm>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "file_list.h"
#include "flush_group.h"
#include "output.h"
#include "platform.h"
#include "targets.h"

namespace tavo {
namespace {

using platform::EntryKind;
using platform::Folder;

void print_summary(const CommandSpec* command, const Options& options, const ManyEnd& tally,
                   Sink out) {
  std::string line;
  if (command == nullptr) {
    line = "tavo x=xxx: " + grouped(tally.ok) + " with a record, " + grouped(tally.skipped) +
           " without, " + grouped(tally.failed) + " failed";
  } else {
    line = std::string("tavo ") + command->text + (options.dry_run ? " (dry run): " : ": ") +
           grouped(tally.ok) + " ok, " + grouped(tally.skipped) + " skipped, " +
           grouped(tally.failed) + " failed";
  }
  if (tally.held > 0) line += ", " + grouped(tally.held) + " in use by another run";
  if (tally.left > 0) {
    line += "; stopped with " + grouped(tally.left) + " of " + grouped(tally.count) + " files left";
  }
  print(out, "%s\r\n", line.c_str());
}

// Files whose runs go on side by side, so that their flushes can be shared
// and one file is worked on while another waits for the disk: at most
// kMaxRunsAtOnce, and past kMinRunsAtOnce only while their sizes together
// stay within kBytesAtOnce. Many small files run at once, large ones sixteen
// at a time: each of their runs waits for the file system's journal at three
// of its four flushes, and the file system commits the waits of runs going
// on together at once. Each run keeps one buffer of kIoSize bytes.
constexpr std::size_t kMaxRunsAtOnce = 32;
constexpr std::size_t kMinRunsAtOnce = 16;
constexpr std::int64_t kBytesAtOnce = std::int64_t{16} << 20;
// Files up to this size share their flushes: for them a flush costs more
// than writing their bytes. A larger file flushes alone, so its flush does
// not wait for the bytes the other runs are writing meanwhile.
constexpr std::int64_t kSharedFlushSize = std::int64_t{1} << 20;

// The files of a run over many files, run on worker threads in their order. Each file's
// lines are kept until every file before it has printed, so the output is
// that of one file after the other; the flushes of the runs going on at the
// same time are shared (flush_group.h).
class Runner {
 public:
  Runner(FileList& list, const CommandSpec* command, Key given, const Options& options,
         const Channels& channels, std::size_t runs_at_once)
      : list_(list),
        runs_at_once_(runs_at_once),
        command_(command),
        given_(given),
        options_(options),
        channels_(channels),
        files_(channels.files != nullptr ? *channels.files : platform::system_files()),
        group_(files_),
        items_(list.files.size()) {
    for (const ListedFile& item : list.files) bytes_total_ += item.size;
    for (std::size_t index = 0; index < items_.size(); ++index) {
      items_[index].runner = this;
      items_[index].index = index;
    }
  }

  // Runs every file and prints its lines; the files not run are left.
  std::int64_t run(ManyEnd& tally) {
    // Only a run that flushes gains from company; a file system a test swapped
    // in need not bear several threads.
    const bool together = command_ != nullptr && !options_.dry_run && channels_.files == nullptr;
    const std::size_t runs = std::min(together ? runs_at_once_ : 1, items_.size());
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < runs; ++i) {
      workers.emplace_back([this] { work(); });
    }
    std::size_t printed = 0;
    std::int64_t ended = 0;
    std::unique_ptr<IoBuffer> buffer;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      for (;;) {
        for (; printed < next_ && items_[printed].ended; ++printed) {
          ItemState& item = items_[printed];
          if (item.result == FileEnd::held && runs > 1) {
            // Held, maybe by a file before it under another name (a hard
            // link, a name given twice), which is done now: it runs again as
            // it would have run after that one.
            lock.unlock();
            if (!buffer) buffer.reset(new IoBuffer);
            item.lines.clear();
            item.reason.clear();
            item.result = run_item(printed, buffer->bytes);
            lock.lock();
          }
          const bool shown =
              !options_.quiet || item.result == FileEnd::failed || item.result == FileEnd::held;
          for (const auto& [to_errors, text] : item.lines) {
            const Sink sink = to_errors ? channels_.errors : channels_.out;
            if (shown) sink.write(sink.context, text.data(), text.size());
          }
          item.lines.clear();
          tell_end(printed);
          count_in(item.result, tally);
          if (item.result != FileEnd::cancelled) ++ended;
        }
        if (printed == next_ && running_.empty() && (stopped_ || next_ == items_.size())) break;
        changed_.wait(lock);
      }
    }
    for (std::thread& worker : workers) worker.join();
    return static_cast<std::int64_t>(items_.size()) - ended;
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

  static void count_in(FileEnd result, ManyEnd& tally) {
    switch (result) {
      case FileEnd::ok:
        ++tally.ok;
        break;
      case FileEnd::skipped:
        ++tally.skipped;
        break;
      case FileEnd::held:
        ++tally.held;
        break;
      case FileEnd::failed:
        ++tally.failed;
        break;
      case FileEnd::cancelled:
        break;
    }
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

  void work() {
    const std::unique_ptr<IoBuffer> buffer(new IoBuffer);  // not zeroed: only read into
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      while (next_ < items_.size() && !stopped_ && running_.size() >= kMinRunsAtOnce &&
             bytes_running_ + size_of(next_) > kBytesAtOnce) {
        changed_.wait(lock);
      }
      if (next_ >= items_.size() || stopped_) break;
      if (cancel_requested()) {
        stopped_ = true;
        break;
      }
      const std::size_t index = next_++;
      bytes_running_ += size_of(index);
      running_.push_back(index);
      ItemState& state = items_[index];
      state.path = list_.folders.printed(list_.files[index].folder, list_.files[index].name);
      state.shown = shown_name(state.path);
      const Observer& observer = channels_.observer;
      if (observer.file_started != nullptr) {
        observer.file_started(observer.context, static_cast<std::int64_t>(index) + 1,
                              static_cast<std::int64_t>(items_.size()), state.shown.c_str(),
                              bytes_before(index), bytes_total_);
      }
      lock.unlock();
      const FileEnd result = run_item(index, buffer->bytes);
      lock.lock();
      items_[index].result = result;
      items_[index].ended = true;
      bytes_running_ -= size_of(index);
      bytes_ended_ += size_of(index);
      running_.erase(std::find(running_.begin(), running_.end(), index));
      if (result == FileEnd::cancelled) stopped_ = true;
      changed_.notify_all();
    }
    changed_.notify_all();
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
    const Observer& observer = self.channels_.observer;
    const std::lock_guard<std::mutex> lock(self.mutex_);
    item->done = done;
    // The file that reports is the one the progress shows.
    if (observer.file_started != nullptr) {
      observer.file_started(observer.context, static_cast<std::int64_t>(item->index) + 1,
                            static_cast<std::int64_t>(self.items_.size()), item->shown.c_str(),
                            self.bytes_before(item->index), self.bytes_total_);
    }
    observer.progress(observer.context, done, total);
  }
  static bool on_cancel_question(void* context) {
    Runner& self = *static_cast<ItemState*>(context)->runner;
    const std::lock_guard<std::mutex> lock(self.mutex_);
    return self.cancel_requested();
  }

  // The files of one run: it opens its file only after the run before it
  // has opened its own, so that of two names of one file (a name given
  // twice, a hard link) the first runs and the second finds it held, then
  // done, as one after the other.
  class InTurn final : public platform::ForwardingFiles {
   public:
    InTurn(platform::FileSystem& files, Runner& runner, std::size_t index)
        : ForwardingFiles(files), runner_(runner), index_(index) {}
    platform::OpenStatus open(const char* path, platform::Access access,
                              platform::File& file) override {
      return in_turn([&] { return ForwardingFiles::open(path, access, file); });
    }
    platform::OpenStatus open_in(const Folder* folder, const char* name, platform::Access access,
                                 platform::File& file) override {
      return in_turn([&] { return ForwardingFiles::open_in(folder, name, access, file); });
    }

   private:
    template <typename Open>
    platform::OpenStatus in_turn(Open open) {
      runner_.wait_for_turn(index_);
      const platform::OpenStatus status = open();
      runner_.pass_turn(index_);
      return status;
    }

    Runner& runner_;
    std::size_t index_;
  };

  void wait_for_turn(std::size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    turn_passed_.wait(lock, [&] { return opened_ >= index; });
  }
  void pass_turn(std::size_t index) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (opened_ > index) return;
    opened_ = index + 1;
    turn_passed_.notify_all();
  }

  // One file: its lines go to its own state, a small file's flushes to the group.
  FileEnd run_item(std::size_t index, std::uint8_t* buffer) {
    const FileEnd result = run_in_turn(index, buffer);
    pass_turn(index);  // a file skipped or refused before its open
    return result;
  }

  FileEnd run_in_turn(std::size_t index, std::uint8_t* buffer) {
    const ListedFile& item = list_.files[index];
    ItemState& state = items_[index];
    Observer observer;
    if (channels_.observer.progress != nullptr) observer.progress = &Runner::on_progress;
    if (channels_.observer.cancel_requested != nullptr) {
      observer.cancel_requested = &Runner::on_cancel_question;
    }
    observer.context = &state;
    Channels channels(Sink{&Runner::keep_out, &state}, Sink{&Runner::keep_errors, &state},
                      observer);
    InTurn files(item.size <= kSharedFlushSize ? group_ : files_, *this, index);
    channels.files = &files;
    channels.zone_size = channels_.zone_size;
    channels.hash_ahead = channels_.hash_ahead;
    channels.buffer = buffer;
    channels.keep_time = options_.keep_time;

    const char* keyword = command_ != nullptr ? command_->text : "x=xxx";
    const std::string& path = state.path;
    const std::string& shown = state.shown;
    if (!item.skipped.empty()) {
      print(channels.out, "tavo %s file(%s) skipped\r\n", keyword, shown.c_str());
      print(channels.errors, "tavo: %s: %s\r\n", shown.c_str(), item.skipped.c_str());
      state.reason = item.skipped;
      return FileEnd::skipped;
    }
    std::string error = item.failed;
    const Folder* folder = nullptr;
    if (error.empty() && item.folder >= 0) {
      int failed = item.folder;
      folder = list_.folders.hold(item.folder, failed, error);
      if (folder == nullptr) {
        error = "cannot open the folder " + shown_name(list_.folders.printed(failed, {})) + ": " +
                error;
      }
    }
    if (!error.empty()) {
      print(channels.errors, "tavo: %s: %s\r\n", shown.c_str(), error.c_str());
      state.reason = error;
      return FileEnd::failed;
    }
    const FileRef file{path.c_str(), folder, item.name.c_str(), shown.c_str(), &state.reason};
    const FileEnd result = run_file(file, channels, state);
    if (folder != nullptr) list_.folders.release(item.folder);
    return result;
  }

  FileEnd run_file(const FileRef& file, const Channels& channels, const ItemState& state) {
    if (command_ == nullptr) return peek_in_batch(file, channels);
    const std::time_t start = std::time(nullptr);
    const FileEnd result =
        transform_in_batch(*command_, file, given_, {!options_.again, options_.dry_run}, channels);
    const std::time_t end = std::time(nullptr);
    // A file that could not be opened printed no line of its own, only its
    // reason: a timing line would name nothing.
    const bool reported = std::any_of(state.lines.begin(), state.lines.end(),
                                      [](const auto& line) { return !line.first; });
    if (result != FileEnd::skipped && !options_.dry_run && reported) {
      print(channels.out, "use time: < %ds\r\n", static_cast<int>(end - start) + 1);
    }
    return result;
  }

  FileList& list_;
  const std::size_t runs_at_once_;
  const CommandSpec* command_;
  const Key given_;
  const Options& options_;
  const Channels& channels_;
  platform::FileSystem& files_;
  FlushGroup group_;
  std::int64_t bytes_total_ = 0;

  std::mutex mutex_;
  std::condition_variable changed_;      // a file started or ended, or the run stopped
  std::condition_variable turn_passed_;  // a file opened
  std::vector<ItemState> items_;
  std::size_t next_ = 0;    // the first file no worker took yet
  std::size_t opened_ = 0;  // files that opened, or will open none
  std::vector<std::size_t> running_;
  std::int64_t bytes_running_ = 0;
  std::int64_t bytes_ended_ = 0;
  bool stopped_ = false;
};

}  // namespace

std::string grouped(std::int64_t count) {
  std::string digits = std::to_string(count);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
    digits.insert(static_cast<std::size_t>(at), ",");
  }
  return digits;
}

ManyEnd run_batch(const CommandSpec* command, Key given, const std::vector<std::string>& targets,
                  const Options& options, const Channels& channels) {
  std::int64_t size = 0;
  bool own = false;
  platform::FileIdentity identity;
  const bool one_file =
      targets.size() == 1 && !is_list(targets[0]) && !platform::is_pattern(targets[0].c_str()) &&
      platform::kind_of(targets[0].c_str(), size, own, identity) != EntryKind::folder;
  if (command != nullptr && command->record == RecordUse::none && !one_file) {
    // Nothing in a file tells whether it was done: a stopped batch run again
    // would transform some files twice.
    print(channels.errors,
          "tavo: %s runs on one file at a time: nothing in a file tells whether %s already ran "
          "on it, so a run over many files that stopped could not be resumed safely (en and de "
          "can)\r\n",
          command->text, command->text);
    return {Result::failed, true};
  }
  const std::size_t budget = platform::folder_budget();
  FileList list(budget);
  add_targets(list, targets, options);
  if (command != nullptr) skip_other_names(list);
  // Each run holds its file and at most one folder beyond the budget's.
  Runner runner(list, command, given, options, channels, std::min(kMaxRunsAtOnce, budget / 2 + 1));
  ManyEnd end{Result::ok, false};
  end.left = runner.run(end);
  end.count = static_cast<std::int64_t>(list.files.size());
  print_summary(command, options, end, channels.out);
  if (end.left > 0) {
    end.result = Result::cancelled;
  } else if (end.failed > 0 || end.held > 0) {
    end.result = Result::failed;
  }
  return end;
}

ManyEnd run_many(const ManyFiles& run, Sink out, Sink errors, Observer observer) {
  const CommandSpec* command = nullptr;
  switch (run.keyword) {
    case Keyword::en:
      command = &command_spec(RunKeyword::en);
      break;
    case Keyword::de:
      command = &command_spec(RunKeyword::de);
      break;
    case Keyword::rxen:
      command = &command_spec(RunKeyword::rxen);
      break;
    case Keyword::rxde:
      command = &command_spec(RunKeyword::rxde);
      break;
    case Keyword::peek:
      break;
  }
  Options options;
  options.recursive = run.recursive;
  options.dry_run = run.dry_run;
  options.again = run.again;
  options.quiet = run.quiet;
  options.keep_time = run.keep_time;
  options.null_ends = run.null_ends;
  Channels channels(out, errors, observer);
  channels.keep_time = run.keep_time;
  const Key given{std::max(run.way, 1), std::max(run.factor, 1)};
  return run_batch(command, given, run.targets, options, channels);
}

}  // namespace tavo
