// The console tool: banner, then one command from the command line.
#include "progress_line.h"
#include "tavo/tavo.h"

int main(int argc, char** argv) {
  tavo::print_banner();
  // Ctrl+C and its kin stop the run between zones and put the file back.
  tavo::catch_interrupts();
  tavo::console::ProgressLine progress;
  tavo::Observer observer = progress.observer();
  observer.cancel_requested = [](void*) { return tavo::interrupt_requested(); };
  return tavo::dispatch_command(argc, argv, progress.out(), progress.errors(), observer);
}
