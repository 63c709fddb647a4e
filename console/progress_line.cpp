// The console tool's progress line (progress_line.h).
#include "progress_line.h"

#include <cstdio>
#include <string>

#include "tavo/progress.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace tavo::console {
namespace {

constexpr std::chrono::milliseconds kQuietStart{1000};
constexpr std::chrono::milliseconds kRedrawInterval{250};

bool standard_error_is_terminal() {
#ifdef _WIN32
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
#else
  return isatty(2) == 1;
#endif
}

void write_stderr(const std::string& text) {
  const Sink errors = stderr_sink();
  errors.write(errors.context, text.data(), text.size());
}

}  // namespace

ProgressLine::ProgressLine() : terminal_(standard_error_is_terminal()) {}

ProgressLine::~ProgressLine() { clear(); }

Sink ProgressLine::out() { return {&ProgressLine::write_out, this}; }

Sink ProgressLine::errors() { return {&ProgressLine::write_errors, this}; }

Observer ProgressLine::observer() {
  Observer observer;
  if (terminal_) {
    observer.progress = &ProgressLine::on_progress;
    observer.file_started = &ProgressLine::on_file_started;
  }
  observer.context = this;
  return observer;
}

void ProgressLine::write_out(void* context, const char* bytes, std::size_t count) {
  static_cast<ProgressLine*>(context)->clear();
  const Sink out = stdout_sink();
  out.write(out.context, bytes, count);
}

void ProgressLine::write_errors(void* context, const char* bytes, std::size_t count) {
  static_cast<ProgressLine*>(context)->clear();
  const Sink errors = stderr_sink();
  errors.write(errors.context, bytes, count);
}

void ProgressLine::on_progress(void* context, std::int64_t done, std::int64_t total) {
  auto* self = static_cast<ProgressLine*>(context);
  const Clock::time_point now = Clock::now();
  if (!self->started_) {
    self->started_ = true;
    self->start_ = now;
    return;
  }
  if (now - self->start_ < kQuietStart) return;
  if (self->shown_width_ > 0 && now - self->last_draw_ < kRedrawInterval) return;
  self->draw(done, total, now);
}

// The line keeps to figures: a name would make its width vary.
void ProgressLine::on_file_started(void* context, std::int64_t number, std::int64_t count,
                                   const char*, std::int64_t bytes_before,
                                   std::int64_t bytes_total) {
  auto* self = static_cast<ProgressLine*>(context);
  // The quiet second and the speed count from the first file on.
  if (!self->started_) {
    self->started_ = true;
    self->start_ = Clock::now();
  }
  self->file_number_ = number;
  self->file_count_ = count;
  self->bytes_before_ = bytes_before;
  self->bytes_total_ = bytes_total;
}

void ProgressLine::draw(std::int64_t done, std::int64_t total, Clock::time_point now) {
  last_draw_ = now;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  char text[240];
  if (file_count_ == 0) {
    const ProgressFigures figures = progress_figures(done, total, elapsed);
    std::snprintf(text, sizeof text, "%3d%%  %s of %s  %s  %s left", figures.percent,
                  figures.done.c_str(), figures.total.c_str(), figures.speed.c_str(),
                  figures.time_left.c_str());
  } else {
    // The batch's figures: its speed and time left, its bytes beside the file's.
    const ProgressFigures all = progress_figures(bytes_before_ + done, bytes_total_, elapsed);
    std::snprintf(text, sizeof text, "file %lld of %lld  %s of %s  all %s of %s  %s  %s left",
                  static_cast<long long>(file_number_), static_cast<long long>(file_count_),
                  format_bytes(done).c_str(), format_bytes(total).c_str(), all.done.c_str(),
                  all.total.c_str(), all.speed.c_str(), all.time_left.c_str());
  }
  std::string line = std::string("\r") + text;
  // Cover what a longer line before left behind.
  const std::size_t width = line.size() - 1;
  if (width < shown_width_) line.append(shown_width_ - width, ' ');
  shown_width_ = width > shown_width_ ? width : shown_width_;
  write_stderr(line);
}

void ProgressLine::clear() {
  if (shown_width_ == 0) return;
  write_stderr("\r" + std::string(shown_width_, ' ') + "\r");
  shown_width_ = 0;
}

}  // namespace tavo::console
