// Formatted lines to a sink.
#ifndef TAVO_OUTPUT_H
#define TAVO_OUTPUT_H

#include <string>

#include "tavo/tavo.h"

namespace tavo {

#if defined(__GNUC__)
#define TAVO_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TAVO_PRINTF_FORMAT(fmt, args)
#endif

// Formats like printf and hands the whole text to the sink in one write.
void print(Sink out, const char* format, ...) TAVO_PRINTF_FORMAT(2, 3);

void print_text(Sink out, const std::string& text);

}  // namespace tavo

#endif  // TAVO_OUTPUT_H
