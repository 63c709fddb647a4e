// A run over many files: the files a command line names (folders walked,
// lists read, patterns matched), each run as a single command would run it,
// then one summary line.
#ifndef TAVO_BATCH_H
#define TAVO_BATCH_H

#include <string>
#include <vector>

#include "commands.h"
#include "operations.h"

namespace tavo {

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

// One line for each option, for the help.
std::string option_help();

// Sets the option `text` names; false if it names none.
bool read_option(const char* text, Options& options);

// Whether `target` asks for a run over many files rather than today's single run.
bool names_many_files(const char* target, const Options& options);

struct BatchEnd {
  Result result;
  bool usage;  // the command line cannot run as given
};

// Runs `command` (null: the peek) with `given` over the files `targets` name.
BatchEnd run_batch(const CommandSpec* command, Key given, const std::vector<std::string>& targets,
                   const Options& options, const Channels& channels);

// 2981 as "2,981".
std::string grouped(std::int64_t count);

}  // namespace tavo

#endif  // TAVO_BATCH_H
