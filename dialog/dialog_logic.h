// What the dialog decides without any window: which command each button runs
// and the typed request it hands to the engine, the existence test of the
// path, the number rule of the close check, the default factor, a path in
// quotes, and what the command line asks for.
//
// Kept free of <windows.h> so the native unit tests compile it as it is.
#ifndef TAVO_DIALOG_LOGIC_H
#define TAVO_DIALOG_LOGIC_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tavo/tavo.h"

namespace tavo::dialog {

// One operation button: its control identifier, and the keyword and way it runs.
struct Operation {
  int control_id;
  Keyword keyword;
  std::int32_t way;
};

// The sixteen operation buttons, one row of four per way (4, 3, 2, 1), each
// row in the order encrypt, decrypt, encrypt rude, decrypt rude.
constexpr int kOperationCount = 16;
extern const Operation kOperations[kOperationCount];

// The operation of a button, or nullptr for an id that runs none.
const Operation* find_operation(int control_id);

// The program name the console shows first, as for every command.
inline constexpr const char* kEngineProgramName = "tavo";
// The name the usage button hands to the usage printer.
inline constexpr const char* kUsageProgramName = "rxende";

// What a press asks of the engine for the one file `path`, with the factor
// field's text (read by the atoi rule): `operation`, or the peek for null.
OneFile one_file_request(const Operation* operation, const std::string& path,
                         const std::string& factor_text);

// The same for several files and folders (walked with their folders).
ManyFiles many_files_request(const Operation* operation, std::vector<std::string> targets,
                             const std::string& factor_text);

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

// A path as Explorer's "Copy as path" gives it, in double quotes: the quotes
// are not part of the path. Anything else is returned as it is.
template <typename Char>
std::basic_string_view<Char> without_quotes(std::basic_string_view<Char> path) {
  if (path.size() >= 2 && path.front() == Char('"') && path.back() == Char('"')) {
    return path.substr(1, path.size() - 2);
  }
  return path;
}

// The files the path field names: one path, taken as without_quotes takes
// it, or the text field_text gives several: each path in double quotes, the
// next after a space.
std::vector<std::wstring> paths_in_field(std::wstring_view field);
std::wstring field_text(const std::vector<std::wstring>& paths);

// The file chooser's answer with several files allowed: one full path, or a
// folder and the names chosen in it, each ending in a NUL, then one more NUL.
std::vector<std::wstring> chosen_files(const wchar_t* answer);

// The part of `path` after its last backslash or slash.
std::wstring file_name_of(const std::wstring& path);

// The first `limit` of the reasons a run gave (for many files, of their
// failures), one a line, then "..." on a line if there are more.
std::string first_failures(const std::vector<std::string>& failures, std::size_t limit);

// What the dialog program is asked to do by its command line (the arguments
// after the program's name).
struct StartRequest {
  enum class Task {
    show_dialog,     // with `paths` (maybe none) to work on
    send_to_add,     // add the program to the user's Send To menu, then end
    send_to_remove,  // remove it from there, then end
  };
  Task task = Task::show_dialog;
  // Files given to the program: dropped onto it, sent from Explorer's Send
  // To menu or typed after its name. Quotes are gone by now.
  std::vector<std::wstring> paths;
};

inline constexpr const wchar_t* kSendToAddSwitch = L"--sendto-add";
inline constexpr const wchar_t* kSendToRemoveSwitch = L"--sendto-remove";

// A switch alone names a task; anything else is a list of paths.
StartRequest parse_start_request(const std::vector<std::wstring>& arguments);

}  // namespace tavo::dialog

#endif  // TAVO_DIALOG_LOGIC_H
