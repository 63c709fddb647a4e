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

// A name as printed among many files, whose names someone else may have
// chosen: unchanged if it is UTF-8 without control characters; otherwise
// each control byte, each byte of a C1 control and each byte that is not
// UTF-8 shows as \xHH, so that no name drives a terminal or ends a line.
std::string shown_name(const std::string& name);

}  // namespace tavo

#endif  // TAVO_OUTPUT_H
