// The Linux console: output written unchanged and flushed, and the signals
// that ask a run to stop (catch_interrupts). Files are in
// platform_posix_files.cpp, folders in platform_posix_folders.cpp.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <ctime>

#include "platform.h"

namespace tavo::platform {
namespace {

volatile sig_atomic_t interrupted = 0;
// When the first interrupt came, in milliseconds of the monotonic clock; 0: none yet.
std::atomic<long long> first_interrupt_ms{0};

long long monotonic_ms() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);  // safe in a signal handler
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void on_interrupt(int signal_number) {
  // The first of signals that other threads may be handling at once wins.
  long long first = 0;
  const long long now = monotonic_ms();
  if (first_interrupt_ms.compare_exchange_strong(first, now)) {
    interrupted = 1;
    return;
  }
  if (now - first < kRepeatPauseMs) return;  // the same request
  // Asked again after a pause: end as the signal ends a process. It is
  // blocked while handled, so it arrives as soon as this returns.
  struct sigaction usual {};
  usual.sa_handler = SIG_DFL;
  sigemptyset(&usual.sa_mask);
  ::sigaction(signal_number, &usual, nullptr);
  ::raise(signal_number);
}

}  // namespace

void write_stdout(const char* bytes, std::size_t count) {
  std::fwrite(bytes, 1, count, stdout);
  std::fflush(stdout);
}

void write_stderr(const char* bytes, std::size_t count) {
  std::fwrite(bytes, 1, count, stderr);
  std::fflush(stderr);
}

void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  // Each of them is blocked while any one is handled, so the handler never
  // races itself.
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signal_number);
  action.sa_flags = SA_RESTART;
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
}

bool interrupt_requested() { return interrupted != 0; }

void release_interrupts() {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) signal(signal_number, SIG_DFL);
  interrupted = 0;
  first_interrupt_ms = 0;
}

}  // namespace tavo::platform
