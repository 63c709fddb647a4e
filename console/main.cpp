// The console tool: banner, then one command from the command line.
#include "tavo/tavo.h"

int main(int argc, char** argv) {
  tavo::print_banner();
  // Ctrl+C and its kin stop the run between zones and put the file back.
  tavo::catch_interrupts();
  tavo::Observer observer;
  observer.cancel_requested = [](void*) { return tavo::interrupt_requested(); };
  return tavo::dispatch_command(argc, argv, tavo::stdout_sink(), tavo::stderr_sink(), observer);
}
