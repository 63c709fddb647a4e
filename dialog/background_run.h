// One engine command on a thread of its own, so the dialog keeps answering
// while a long pass runs. The thread touches no window: it posts its
// progress and its end to the window that started it.
#ifndef TAVO_DIALOG_BACKGROUND_RUN_H
#define TAVO_DIALOG_BACKGROUND_RUN_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "dialog_logic.h"

namespace tavo::dialog {

// Posted to the window: new progress figures are ready (at most one message
// waits at a time; the window calls progress_seen() when it has read them).
constexpr UINT kRunProgressMessage = WM_APP + 1;
// Posted to the window once the command has returned; wparam: its result.
constexpr UINT kRunFinishedMessage = WM_APP + 2;

class BackgroundRun {
 public:
  // Copies the vector's strings and starts the command. `started()` tells
  // whether the thread could be made.
  BackgroundRun(const ArgumentVector& vector, HWND window);
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
  void progress_seen() { progress_posted_.store(false); }

  // Blocks until the command has returned.
  void wait();

  // What the engine wrote to its error output (which also goes on to
  // standard error): the reasons of a failure. Complete once wait() has
  // returned.
  const std::string& error_output() const { return error_output_; }

 private:
  static DWORD WINAPI thread_main(void* context);
  static void on_progress(void* context, std::int64_t done, std::int64_t total);
  static bool on_cancel_question(void* context);
  static void on_error_output(void* context, const char* bytes, std::size_t count);

  std::vector<std::string> arguments_;
  std::string error_output_;  // the worker's until it has ended
  HWND window_;
  HANDLE thread_ = nullptr;
  std::atomic<bool> cancel_{false};
  std::atomic<std::int64_t> done_{0};
  std::atomic<std::int64_t> total_{0};
  std::atomic<bool> progress_posted_{false};
  DWORD last_post_tick_ = 0;  // the worker's own
};

}  // namespace tavo::dialog

#endif  // TAVO_DIALOG_BACKGROUND_RUN_H
