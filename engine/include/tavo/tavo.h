// The engine's one entry for the front ends.
//
// Both programs run the engine through the calls below only. Every line the
// engine prints ends in "\r\n" and goes to the given sink, standard output
// unless a caller (a test, say) passes its own.
#ifndef TAVO_TAVO_H
#define TAVO_TAVO_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavo {

// Receives the engine's output bytes. `write` is called once per line.
struct Sink {
  void (*write)(void* context, const char* bytes, std::size_t count);
  void* context;
};

// Standard output, in binary mode and flushed after every line, so each line
// reaches a console or a pipe at once with exactly "\r\n" at its end.
Sink stdout_sink();

// Standard error, in binary mode and flushed after every line. A failure
// that standard output reports tersely or not at all also writes one line
// "tavo: PATH: reason\r\n" here.
Sink stderr_sink();

// How one file of a run over many files ended. Over many files "skipped"
// means done already (or, for the peek, without a record).
enum class FileEnd { ok, skipped, failed, held, cancelled };

// Watches a transforming operation ("en", "de", "rxen", "rxde"). Every
// member may be left empty.
struct Observer {
  // Bytes of the pass done so far and in all. Called on the thread that runs
  // the operation, at most every few milliseconds of work, and once at the end.
  // In a run over many files the files run on threads of their own, and each
  // of these calls comes from one of them, never two at once.
  void (*progress)(void* context, std::int64_t done, std::int64_t total) = nullptr;
  // Asked between zones of the pass. True stops the run: the file is put
  // back as it was and the operation reports "cancelled" with result 0.
  bool (*cancel_requested)(void* context) = nullptr;
  void* context = nullptr;
  // In a run over many files, before each file and whenever the progress
  // shows another file: its number (from 1), the number of files, its name
  // as printed, and the bytes of the files before it and of them all.
  void (*file_started)(void* context, std::int64_t number, std::int64_t count, const char* name,
                       std::int64_t bytes_before, std::int64_t bytes_total) = nullptr;
  // In a run over many files, after each file, in the order of the files:
  // how it ended, and why it failed or was skipped ("" where it did not).
  void (*file_ended)(void* context, std::int64_t number, const char* name, FileEnd end,
                     const char* reason) = nullptr;
};

// From now on Ctrl+C, Ctrl+Break, SIGTERM, SIGHUP and the closing of the
// console window do not end the process: the first one only makes
// interrupt_requested() true, so an observer can stop the running operation
// at its next zone and have the file put back. More within a second of the
// first are the same request (a process group signalled, a terminal
// closing); one after that ends the process at once.
void catch_interrupts();
bool interrupt_requested();
// Gives those events their usual effect again and forgets any that came.
void release_interrupts();

// How a command ended. The values are fixed.
enum class Result {
  failed = 0,
  ok = 1,
  cancelled = 2,    // stopped on request; the file was put back as it was
  interrupted = 3,  // the file holds an interrupted run that this command does not resume
};

// The console tool's exit code for a result: 1 for ok, 0 for anything else.
int exit_code(Result result);

// A run over many files, typed: what the console's names form and the
// dialog ask for.
enum class Keyword { en, de, rxen, rxde, peek };

struct ManyFiles {
  Keyword keyword = Keyword::peek;
  std::int32_t way = 1;  // as given; values below 1 are taken as 1
  std::int32_t factor = 1;
  // Names, folders (walked with `recursive`), @lists and, on Windows,
  // patterns, as on the command line.
  std::vector<std::string> targets;
  bool recursive = false;
  bool dry_run = false;
  bool again = false;      // "en" adds a layer where one with this key is outermost
  bool quiet = false;      // only the lines of failed files, and the summary
  bool keep_time = false;  // each file keeps its modification time
  bool null_ends = false;  // a list's paths end in NUL bytes
};

struct ManyEnd {
  Result result = Result::failed;  // ok: every file done or skipped; cancelled: stopped
  bool refused = false;            // nothing ran: the request cannot run (rxen over many files)
  // For the peek: ok with a record, skipped without one.
  std::int64_t ok = 0, skipped = 0, failed = 0, held = 0;
  std::int64_t left = 0;   // files not run because the run was stopped
  std::int64_t count = 0;  // files in all
  std::string refusal;     // why nothing ran, when refused
};

// One file, typed: what the dialog asks for when its field names one file.
// It runs as the command line's one-file form runs it.
struct OneFile {
  Keyword keyword = Keyword::peek;
  std::string path;
  std::int32_t way = 1;  // as given; values below 1 are taken as 1
  std::int32_t factor = 1;
  // The factor as typed, which the note on a factor outside 1 to 255
  // quotes; none: its decimal form.
  std::optional<std::string> factor_text;
};

struct OneEnd {
  Result result = Result::failed;
  // Each reason the run gave on the error sink, in order, without the
  // program's name and the line end: why the file failed ("PATH: reason"),
  // and the notes on the factor.
  std::vector<std::string> reasons;
};

// Runs `run`: the lines of the one-file form after its first line (the
// program's name), to `out` and `errors`; the pass to `observer`.
OneEnd run_one(const OneFile& run, Sink out = stdout_sink(), Sink errors = stderr_sink(),
               Observer observer = {});

// The keyword spelled in full by `text` ("en", "de", "rxen", "rxde" or
// "x=xxx"); false for any other text.
bool keyword_from_text(const char* text, Keyword& keyword);

// A way or a factor as the command line reads it: the atoi rule, saturating
// at the limits of a signed 32-bit integer.
std::int32_t read_number(const char* text);

// Runs `run`: each file's lines as a single run prints them, then the
// summary line, to `out` and `errors`; each file's start, progress and end
// to `observer`.
ManyEnd run_many(const ManyFiles& run, Sink out = stdout_sink(), Sink errors = stderr_sink(),
                 Observer observer = {});

// Runs one command from an argument vector: options anywhere ("--" ends
// them), and of the rest either the one-file form
//   file path, keyword, way, factor
// (read as it always was: keywords on their leading characters, numbers by
// the atoi rule) or, for more elements, the names form: several paths, then
// a keyword spelled in full and a way and a factor in decimal, or "x=xxx".
// Anything else (an unknown option, a longer line that is no names form, a
// keyword that is no keyword spelled in full but names a file) is refused
// with a line on standard error before any file is opened.
// The caller keeps the strings alive for the duration of the call.
//
// Runs over many files besides the names form:
//   a folder with -r (--recursive): every file in it and in its folders,
//     never through a link;
//   @LIST, when no file has that name: the paths in the file LIST, one a
//     line (with --null: each ending in a NUL byte); @- reads standard input;
//   on Windows a pattern (* and ?) in the last part of the path.
// Each file prints the lines of a single run; then one line sums them up.
Result dispatch_command(int argc, const char* const* argv, Sink out = stdout_sink(),
                        Sink errors = stderr_sink(), Observer observer = {});

// As dispatch_command, for the console tool: gives the exit code. Without
// an option that is today's (exit_code above); with any option the usual
// one: 0 when everything succeeded, 1 when something failed, 2 for a
// command line that cannot run. "--version" alone gives 0.
int run_command_line(int argc, const char* const* argv, Sink out = stdout_sink(),
                     Sink errors = stderr_sink(), Observer observer = {});

// Prints the five usage lines, naming the part of `program_name` after its
// last backslash.
void print_usage(const char* program_name, Sink out = stdout_sink());

// Whether the command line is "--version" or "-V" alone, which prints the
// version line and nothing else, the banner neither.
bool asks_for_version(int argc, const char* const* argv);
void print_version(Sink out = stdout_sink());

// Prints the two banner lines.
void print_banner(Sink out = stdout_sink());

}  // namespace tavo

#endif  // TAVO_TAVO_H
