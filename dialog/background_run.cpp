#include "background_run.h"

#include "tavo/tavo.h"

namespace tavo::dialog {
namespace {

// The window repaints no faster than this; more messages would only queue.
constexpr DWORD kProgressPostInterval = 50;

}  // namespace

BackgroundRun::BackgroundRun(const ArgumentVector& vector, HWND window) : window_(window) {
  for (int i = 0; i < vector.count; ++i) arguments_.emplace_back(vector.items[i]);
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
  observer.context = self;
  // While a run goes, Ctrl+C or closing the console window cancels it
  // instead of ending the program half-way through the file.
  catch_interrupts();
  const Sink errors{&BackgroundRun::on_error_output, self};
  const Result result = dispatch_command(static_cast<int>(items.size()), items.data(),
                                         stdout_sink(), errors, observer);
  release_interrupts();
  PostMessageW(self->window_, kRunFinishedMessage, static_cast<WPARAM>(result), 0);
  return 0;
}

void BackgroundRun::on_progress(void* context, std::int64_t done, std::int64_t total) {
  auto* self = static_cast<BackgroundRun*>(context);
  self->done_.store(done);
  self->total_.store(total);
  const DWORD now = GetTickCount();
  if (now - self->last_post_tick_ < kProgressPostInterval) return;
  if (self->progress_posted_.exchange(true)) return;
  self->last_post_tick_ = now;
  PostMessageW(self->window_, kRunProgressMessage, 0, 0);
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
