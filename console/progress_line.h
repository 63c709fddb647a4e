// The console tool's progress line: when standard error is a terminal and a
// pass has run for a second, one line there, redrawn at most four times a
// second and cleared before any other output and at the end. Over many files
// it counts the files and shows the bytes of the file and of them all.
#ifndef TAVO_CONSOLE_PROGRESS_LINE_H
#define TAVO_CONSOLE_PROGRESS_LINE_H

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "tavo/tavo.h"

namespace tavo::console {

class ProgressLine {
 public:
  ProgressLine();
  ~ProgressLine();  // clears the line

  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Standard output and standard error, each clearing the line first.
  Sink out();
  Sink errors();
  // Reports progress to this line; no cancel question.
  Observer observer();

 private:
  using Clock = std::chrono::steady_clock;

  static void write_out(void* context, const char* bytes, std::size_t count);
  static void write_errors(void* context, const char* bytes, std::size_t count);
  static void on_progress(void* context, std::int64_t done, std::int64_t total);
  static void on_file_started(void* context, std::int64_t number, std::int64_t count,
                              const char* name, std::int64_t bytes_before,
                              std::int64_t bytes_total);

  void draw(std::int64_t done, std::int64_t total, Clock::time_point now);
  void clear();

  bool terminal_;
  bool started_ = false;
  Clock::time_point start_;
  Clock::time_point last_draw_;
  std::size_t shown_width_ = 0;  // characters on the line now; 0: none
  // Over many files: the file now running (from 1; 0 for a single run), and
  // the bytes of the files before it and of them all.
  std::int64_t file_number_ = 0;
  std::int64_t file_count_ = 0;
  std::int64_t bytes_before_ = 0;
  std::int64_t bytes_total_ = 0;
};

}  // namespace tavo::console

#endif  // TAVO_CONSOLE_PROGRESS_LINE_H
