// The console tool: banner, then one command from the command line.
#include "platform.h"
#include "tavo/tavo.h"

#ifdef _WIN32
// Linked with -municode: Windows hands over the command line as it holds it,
// in UTF-16, so no name is lost to the ANSI code page; the engine takes UTF-8.
int wmain(int argc, wchar_t** argv) {
  tavo::print_banner();
  const tavo::platform::Utf8Arguments arguments(argc, argv);
  return tavo::dispatch_command(argc, arguments.data());
}
#else
int main(int argc, char** argv) {
  tavo::print_banner();
  return tavo::dispatch_command(argc, argv);
}
#endif
