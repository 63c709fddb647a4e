// One engine command, started on a thread of its own so the dialog keeps
// answering while a long pass runs. A run over many files runs several files
// at once on the engine's own threads, and the progress and cancel calls come
// from those. None of these threads touches a window: they post the progress
// and the end to the window that started the command.
#ifndef TAVO_DIALOG_BACKGROUND_RUN_H
#define TAVO_DIALOG_BACKGROUND_RUN_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "dialog_logic.h"
#include "tavo/tavo.h"

namespace tavo::dialog {

// Posted to the window: new progress figures are ready (at most one message
// waits at a time; the window calls progress_seen() when it has read them).
constexpr UINT kRunProgressMessage = WM_APP + 1;
// Posted to the window once the command has returned; wparam: its result.
constexpr UINT kRunFinishedMessage = WM_APP + 2;

class BackgroundRun {
 public:
  // Starts the run of one file. `started()` tells whether the thread could
  // be made.
  BackgroundRun(OneFile run, HWND window);
  // The same for a run over many files, through the engine's run_many.
  BackgroundRun(ManyFiles run, HWND window);
  // Waits for the thread.
  ~BackgroundRun();

  BackgroundRun(const BackgroundRun&) = delete;
  BackgroundRun& operator=(const BackgroundRun&) = delete;

  bool started() const { return thread_ != nullptr; }

  // Asks the engine to stop at its next zone and put the file back.
  void request_cancel() { cancel_.store(true); }
  bool cancel_asked() const { return cancel_.load(); }

  std::int64_t done() const { return done_.load(); }
  std::int64_t total() const { return total_.load(); }
  // In a run over many files: the file running (from 1) and their number,
  // 0 until the first starts; the bytes of the files before it and of all.
  std::int64_t file_number() const { return file_number_.load(); }
  std::int64_t file_count() const { return file_count_.load(); }
  std::int64_t bytes_before() const { return bytes_before_.load(); }
  std::int64_t bytes_total() const { return bytes_total_.load(); }
  void progress_seen() { progress_posted_.store(false); }

  // Blocks until the command has returned.
  void wait();

  // The run of one file: its reasons (which also go on to standard error).
  // Complete once wait() has returned.
  const std::vector<std::string>& reasons() const { return one_end_.reasons; }
  // A run over many files: its counts, and "name: reason" for each file
  // that failed, in the order of the files. Complete as above.
  const ManyEnd& many_end() const { return many_end_; }
  const std::vector<std::string>& failures() const { return failures_; }
  bool peeked() const { return many_ && many_files_.keyword == Keyword::peek; }
  // The name of the file the progress shows, as the engine prints it.
  std::string file_name() const;

 private:
  static DWORD WINAPI thread_main(void* context);
  void start();
  static void on_progress(void* context, std::int64_t done, std::int64_t total);
  static void on_file_started(void* context, std::int64_t number, std::int64_t count,
                              const char* name, std::int64_t bytes_before,
                              std::int64_t bytes_total);
  static void on_file_ended(void* context, std::int64_t number, const char* name, FileEnd end,
                            const char* reason);
  void post_progress();
  static bool on_cancel_question(void* context);

  OneFile one_file_;
  OneEnd one_end_;  // the command's thread's until it has ended
  bool many_ = false;
  ManyFiles many_files_;
  ManyEnd many_end_;                   // likewise
  std::vector<std::string> failures_;  // likewise
  mutable std::mutex file_name_mutex_;
  std::string file_name_;
  HWND window_;
  HANDLE thread_ = nullptr;
  std::atomic<bool> cancel_{false};
  std::atomic<std::int64_t> done_{0};
  std::atomic<std::int64_t> total_{0};
  std::atomic<std::int64_t> file_number_{0};
  std::atomic<std::int64_t> file_count_{0};
  std::atomic<std::int64_t> bytes_before_{0};
  std::atomic<std::int64_t> bytes_total_{0};
  std::atomic<bool> progress_posted_{false};
  DWORD last_post_tick_ = 0;  // the progress calls' own: the engine makes one at a time
};

}  // namespace tavo::dialog

#endif  // TAVO_DIALOG_BACKGROUND_RUN_H
