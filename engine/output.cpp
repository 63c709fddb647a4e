// Formatted lines to a sink, the standard sinks, and names as printed
// among many files (output.h).
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

namespace {

// The length of the UTF-8 sequence at `at` that is neither overlong nor a
// surrogate nor past U+10FFFF; 0 if there is none.
std::size_t utf8_length(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) {
    return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
  };
  const unsigned first = byte(0);
  const auto follows = [&](std::size_t i, unsigned low, unsigned high) {
    return byte(i) >= low && byte(i) <= high;
  };
  if (first < 0x80) return 1;
  if (first >= 0xC2 && first <= 0xDF) return follows(1, 0x80, 0xBF) ? 2 : 0;
  if (first >= 0xE0 && first <= 0xEF) {
    const unsigned low = first == 0xE0 ? 0xA0 : 0x80, high = first == 0xED ? 0x9F : 0xBF;
    return follows(1, low, high) && follows(2, 0x80, 0xBF) ? 3 : 0;
  }
  if (first >= 0xF0 && first <= 0xF4) {
    const unsigned low = first == 0xF0 ? 0x90 : 0x80, high = first == 0xF4 ? 0x8F : 0xBF;
    return follows(1, low, high) && follows(2, 0x80, 0xBF) && follows(3, 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
}

// C0 controls, DEL and the C1 controls (U+0080 to U+009F, C2 80 to C2 9F).
bool is_control(const std::string& text, std::size_t at, std::size_t length) {
  const auto first = static_cast<unsigned char>(text[at]);
  if (length == 1) return first < 0x20 || first == 0x7F;
  return length == 2 && first == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
}

}  // namespace

std::string shown_name(const std::string& name) {
  std::string shown;
  std::size_t at = 0;
  while (at < name.size()) {
    const std::size_t length = utf8_length(name, at);
    if (length == 0 || is_control(name, at, length)) {
      const std::size_t count = length == 0 ? 1 : length;
      for (std::size_t i = 0; i < count; ++i) {
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(name[at + i]));
        shown += escaped;
      }
      at += count;
    } else {
      shown.append(name, at, length);
      at += length;
    }
  }
  return shown;
}

void print_text(Sink out, const std::string& text) {
  if (out.write != nullptr) out.write(out.context, text.data(), text.size());
}

}  // namespace tavo
