#include "background_run.h"

#include <utility>

#include "tavo/tavo.h"

namespace tavo::dialog {
namespace {

// The window repaints no faster than this; more messages would only queue.
constexpr DWORD kProgressPostInterval = 50;

}  // namespace

BackgroundRun::BackgroundRun(const ArgumentVector& vector, HWND window) : window_(window) {
  for (int i = 0; i < vector.count; ++i) arguments_.emplace_back(vector.items[i]);
  start();
}

BackgroundRun::BackgroundRun(std::vector<std::string> names_vector, HWND window)
    : arguments_(std::move(names_vector)), names_(true), window_(window) {
  start();
}

void BackgroundRun::start() {
  thread_ = CreateThread(nullptr, 0, &BackgroundRun::thread_main, this, 0, nullptr);
}

BackgroundRun::~BackgroundRun() {
  wait();
  if (thread_ != nullptr) CloseHandle(thread_);
}

void BackgroundRun::wait() {
  if (thread_ != nullptr) WaitForSingleObject(thread_, INFINITE);
}

DWORD WINAPI BackgroundRun::thread_main(void* context) {
  auto* self = static_cast<BackgroundRun*>(context);
  std::vector<const char*> items;
  for (const std::string& argument : self->arguments_) items.push_back(argument.c_str());
  Observer observer;
  observer.progress = &BackgroundRun::on_progress;
  observer.cancel_requested = &BackgroundRun::on_cancel_question;
  observer.file_started = &BackgroundRun::on_file_started;
  observer.context = self;
  // While a run goes, Ctrl+C or closing the console window cancels it
  // instead of ending the program half-way through the file.
  catch_interrupts();
  const Sink errors{&BackgroundRun::on_error_output, self};
  const Sink out{&BackgroundRun::on_output, self};
  const int count = static_cast<int>(items.size());
  const Result result = self->names_ ? dispatch_names(count, items.data(), out, errors, observer)
                                     : dispatch_command(count, items.data(), out, errors, observer);
  release_interrupts();
  PostMessageW(self->window_, kRunFinishedMessage, static_cast<WPARAM>(result), 0);
  return 0;
}

void BackgroundRun::on_progress(void* context, std::int64_t done, std::int64_t total) {
  auto* self = static_cast<BackgroundRun*>(context);
  self->done_.store(done);
  self->total_.store(total);
  self->post_progress();
}

void BackgroundRun::on_file_started(void* context, std::int64_t number, std::int64_t count,
                                    std::int64_t bytes_before, std::int64_t bytes_total) {
  auto* self = static_cast<BackgroundRun*>(context);
  self->done_.store(0);
  self->bytes_before_.store(bytes_before);
  self->bytes_total_.store(bytes_total);
  self->file_count_.store(count);
  self->file_number_.store(number);
  self->post_progress();
}

void BackgroundRun::post_progress() {
  const DWORD now = GetTickCount();
  if (now - last_post_tick_ < kProgressPostInterval) return;
  if (progress_posted_.exchange(true)) return;
  last_post_tick_ = now;
  PostMessageW(window_, kRunProgressMessage, 0, 0);
}

void BackgroundRun::on_output(void* context, const char* bytes, std::size_t count) {
  // One call per line.
  static_cast<BackgroundRun*>(context)->last_line_.assign(bytes, count);
  const Sink out = stdout_sink();
  out.write(out.context, bytes, count);
}

void BackgroundRun::on_error_output(void* context, const char* bytes, std::size_t count) {
  static_cast<BackgroundRun*>(context)->error_output_.append(bytes, count);
  const Sink standard_error = stderr_sink();
  standard_error.write(standard_error.context, bytes, count);
}

bool BackgroundRun::on_cancel_question(void* context) {
  auto* self = static_cast<BackgroundRun*>(context);
  if (interrupt_requested()) self->cancel_.store(true);
  return self->cancel_.load();
}

}  // namespace tavo::dialog
