// The progress window of a long run: owned by the main dialog and on top like
// it, with the file's name (in a run over many files, which of them runs and
// the figures of them all), a progress bar, bytes done of total, speed, time
// left and a cancel button, which Enter and Escape press too. Modeless; the
// main dialog creates, updates and destroys it.
#ifndef TAVO_DIALOG_PROGRESS_WINDOW_H
#define TAVO_DIALOG_PROGRESS_WINDOW_H

#include <windows.h>

#include <cstdint>
#include <string>

#include "background_run.h"

namespace tavo::dialog {

class ProgressWindow {
 public:
  // Shows the window over `owner` for `run` on the file `file_name`.
  ProgressWindow(HWND owner, BackgroundRun& run, const std::wstring& file_name);
  ~ProgressWindow();

  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;

  // Shows the run's figures after `elapsed_seconds`.
  void update(double elapsed_seconds);

 private:
  static INT_PTR CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR handle(UINT message, WPARAM wparam);

  void on_init_dialog();
  void on_cancel();

  BackgroundRun& run_;
  std::wstring file_name_;
  HWND window_ = nullptr;
  HHOOK keyboard_hook_ = nullptr;
};

}  // namespace tavo::dialog

#endif  // TAVO_DIALOG_PROGRESS_WINDOW_H
