// The console tool: banner, then one command from the command line.
#include "tavo/tavo.h"

int main(int argc, char** argv) {
  tavo::print_banner();
  return tavo::dispatch_command(argc, argv);
}
