// The console tool: banner, then one command from the command line.
#include "progress_line.h"
#include "tavo/tavo.h"
#include "tavo/text.h"

namespace {

int run(int argc, const char* const* argv) {
  if (!tavo::asks_for_version(argc, argv)) tavo::print_banner();
  // Ctrl+C and its kin stop the run between zones and put the file back.
  tavo::catch_interrupts();
  tavo::console::ProgressLine progress;
  tavo::Observer observer = progress.observer();
  observer.cancel_requested = [](void*) { return tavo::interrupt_requested(); };
  return tavo::run_command_line(argc, argv, progress.out(), progress.errors(), observer);
}

}  // namespace

#ifdef _WIN32
// Linked with -municode: Windows hands over the command line as it holds it,
// in UTF-16, so no name is lost to the ANSI code page; the engine takes UTF-8.
int wmain(int argc, wchar_t** argv) {
  const tavo::platform::Utf8Arguments arguments(argc, argv);
  return run(argc, arguments.data());
}
#else
int main(int argc, char** argv) { return run(argc, argv); }
#endif
