// The command line of the console tool, all of it: the options (one table,
// which the help prints), the one-file form and the names form, read into
// a CommandLine or refused with a reason. dispatcher.cpp runs what it says.
#ifndef TAVO_COMMAND_LINE_H
#define TAVO_COMMAND_LINE_H

#include <cstdint>
#include <string>
#include <vector>

#include "commands.h"
#include "tavo/tavo.h"

namespace tavo {

inline constexpr char kPeekKeyword[] = "x=xxx";

// The options, anywhere on the command line before "--".
struct Options {
  bool recursive = false;   // -r, --recursive: a folder's files and its folders' files
  bool dry_run = false;     // -n, --dry-run: say what each file would get, change nothing
  bool again = false;       // --again: "en" adds a layer where one with this key is outermost
  bool exit_codes = false;  // --exit-codes: nothing but the usual exit codes
  bool quiet = false;       // -q, --quiet: over many files, only failures and the summary
  bool null_ends = false;   // -0, --null: a path of a list ends in a NUL byte, not a line end
  bool keep_time = false;   // --keep-time: each file keeps its modification time
  bool any() const {
    return recursive || dry_run || again || exit_codes || quiet || null_ends || keep_time;
  }
};

// Sets the option `text` names; false if it names none.
bool read_option(const char* text, Options& options);

// One line for each option, for the help.
std::string option_help();

// The command line as the dispatcher reads it.
struct CommandLine {
  bool names = false;  // several paths, as a shell expands a pattern
  std::vector<std::string> paths;
  const char* keyword = nullptr;
  const char* way = nullptr;
  const char* factor = nullptr;
  Options options;
  std::string refused;  // why the line cannot run; empty: it can
};

// Reads an argument vector (element 0 the program): options anywhere before
// "--"; of the rest, up to four elements are the one-file form "path
// keyword way factor", read as it always was, and more are the names form
// or refused, never read as the one-file form (see tavo.h).
CommandLine read_command_line(int argc, const char* const* argv);

// The keyword `text` selects on its leading characters ("encrypt" selects
// "en", "x=xxxx" the peek); true with `command` null for the peek.
bool find_keyword(const char* text, const CommandSpec*& command);

// The atoi rule, saturating at the limits of a signed 32-bit integer.
std::int32_t parse_number(const char* text);

}  // namespace tavo

#endif  // TAVO_COMMAND_LINE_H
