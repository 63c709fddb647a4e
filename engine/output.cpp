#include "output.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "platform.h"

namespace tavo {
namespace {

void write_to_stdout(void*, const char* bytes, std::size_t count) {
  platform::write_stdout(bytes, count);
}

void write_to_stderr(void*, const char* bytes, std::size_t count) {
  platform::write_stderr(bytes, count);
}

}  // namespace

Sink stdout_sink() { return {write_to_stdout, nullptr}; }

Sink stderr_sink() { return {write_to_stderr, nullptr}; }

void print(Sink out, const char* format, ...) {
  if (out.write == nullptr) return;
  std::va_list args;
  va_start(args, format);
  std::va_list copy;
  va_copy(copy, args);
  char small[256];
  const int needed = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (needed < 0) {
    va_end(copy);
    return;
  }
  if (static_cast<std::size_t>(needed) < sizeof small) {
    va_end(copy);
    out.write(out.context, small, static_cast<std::size_t>(needed));
    return;
  }
  // Paths can be arbitrarily long.
  std::vector<char> large(static_cast<std::size_t>(needed) + 1);
  std::vsnprintf(large.data(), large.size(), format, copy);
  va_end(copy);
  out.write(out.context, large.data(), static_cast<std::size_t>(needed));
}

void print_text(Sink out, const std::string& text) {
  if (out.write != nullptr) out.write(out.context, text.data(), text.size());
}

}  // namespace tavo
