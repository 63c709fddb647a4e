// What the dialog decides without any window: which command each button runs,
// the argument vectors it hands to the engine, the existence test of the path,
// the number rule of the close check and the default factor.
//
// Kept free of <windows.h> so the native unit tests compile it as it is.
#ifndef TAVO_DIALOG_LOGIC_H
#define TAVO_DIALOG_LOGIC_H

#include <cstdint>

namespace tavo::dialog {

// One operation button: its control identifier, the engine keyword and the
// way it passes, both as the text a command line would hold.
struct Operation {
  int control_id;
  const char* keyword;
  const char* way;
};

// The sixteen operation buttons, one row of four per way (4, 3, 2, 1), each
// row in the order encrypt, decrypt, encrypt rude, decrypt rude.
constexpr int kOperationCount = 16;
extern const Operation kOperations[kOperationCount];

// The operation of a button, or nullptr for an id that runs none.
const Operation* find_operation(int control_id);

// The program name at the head of every vector the dialog builds.
inline constexpr const char* kEngineProgramName = "tavo";
// The name the usage button hands to the usage printer.
inline constexpr const char* kUsageProgramName = "rxende";
// The keyword of the header peek.
inline constexpr const char* kPeekKeyword = "x=xxx";

// An argument vector as the engine's dispatcher takes it. The pointers refer
// to string constants and to the caller's text buffers, which must outlive
// the dispatch.
struct ArgumentVector {
  const char* items[5];
  int count;
};

// "tavo", path, keyword, way, factor: count 5.
ArgumentVector operation_vector(const Operation& operation, const char* path, const char* factor);

// "tavo", path, "x=xxx": count 3.
ArgumentVector peek_vector(const char* path);

// True if anything, file or directory, exists under `path` (UTF-8 on
// Windows, bytes elsewhere). Checks existence only, not access rights. An
// empty path never exists.
bool path_exists(const char* path);

// The close check of the factor field. Only the first kCloseCheckLength bytes
// of `text` are looked at. Leading and trailing spaces and tabs are allowed
// around a signed decimal number; a text that converts to 0 must start (after
// the blanks) with the digit 0. There is no range check: values beyond the
// signed 32-bit range saturate at its ends. Returns false for anything else.
constexpr int kCloseCheckLength = 31;
bool parse_close_factor(const char* text, std::int32_t& value);

// The default factor from one draw of the runtime's random generator:
// the draw modulo 255, plus 1, so always 1 to 255 for a non-negative draw.
constexpr int kFactorMin = 1;
constexpr int kFactorMax = 255;
int default_factor_from(int random_draw);

}  // namespace tavo::dialog

#endif  // TAVO_DIALOG_LOGIC_H
