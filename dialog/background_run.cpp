// One engine command on a thread of its own (background_run.h).
#include "background_run.h"

#include <utility>

#include "tavo/tavo.h"

namespace tavo::dialog {
namespace {

// The window repaints no faster than this; more messages would only queue.
constexpr DWORD kProgressPostInterval = 50;

}  // namespace

BackgroundRun::BackgroundRun(OneFile run, HWND window)
    : one_file_(std::move(run)), window_(window) {
  start();
}

BackgroundRun::BackgroundRun(ManyFiles run, HWND window)
    : many_(true), many_files_(std::move(run)), window_(window) {
  start();
}

std::string BackgroundRun::file_name() const {
  const std::lock_guard<std::mutex> lock(file_name_mutex_);
  return file_name_;
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
  Observer observer;
  observer.progress = &BackgroundRun::on_progress;
  observer.cancel_requested = &BackgroundRun::on_cancel_question;
  observer.file_started = &BackgroundRun::on_file_started;
  observer.file_ended = &BackgroundRun::on_file_ended;
  observer.context = self;
  // While a run goes, Ctrl+C or closing the console window cancels it
  // instead of ending the program half-way through the file.
  catch_interrupts();
  const Sink out = stdout_sink();
  const Sink errors = stderr_sink();
  // The console shows the program's name first, as for every command.
  const std::string name = std::string(kEngineProgramName) + "\r\n";
  out.write(out.context, name.data(), name.size());
  Result result;
  if (self->many_) {
    self->many_end_ = run_many(self->many_files_, out, errors, observer);
    result = self->many_end_.result;
  } else {
    self->one_end_ = run_one(self->one_file_, out, errors, observer);
    result = self->one_end_.result;
  }
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
                                    const char* name, std::int64_t bytes_before,
                                    std::int64_t bytes_total) {
  auto* self = static_cast<BackgroundRun*>(context);
  {
    const std::lock_guard<std::mutex> lock(self->file_name_mutex_);
    self->file_name_ = name;
  }
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

void BackgroundRun::on_file_ended(void* context, std::int64_t, const char* name, FileEnd end,
                                  const char* reason) {
  // Held by another run counts as failed, as in the summary's success.
  if (end == FileEnd::failed || end == FileEnd::held) {
    static_cast<BackgroundRun*>(context)->failures_.push_back(std::string(name) + ": " + reason);
  }
}

bool BackgroundRun::on_cancel_question(void* context) {
  auto* self = static_cast<BackgroundRun*>(context);
  if (interrupt_requested()) self->cancel_.store(true);
  return self->cancel_.load();
}

}  // namespace tavo::dialog
