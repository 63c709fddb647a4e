// The dispatcher: runs what the command line (command_line.h) says, on one
// file (operations.h) or many (run_many.h), and the printers of the usage,
// the help, the version and the banner.
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "command_line.h"
#include "operations.h"
#include "output.h"
#include "run_many.h"
#include "targets.h"
#include "tavo/tavo.h"
#include "tavo/version.h"

namespace tavo {
namespace {

std::int32_t at_least_one(std::int32_t value) { return value < 1 ? 1 : value; }

const char* after_last_backslash(const char* name) {
  const char* slash = std::strrchr(name, '\\');
  return slash ? slash + 1 : name;
}

// Prints what the three ways of asking for help get beyond the usage lines.
void print_help(const char* program_name, Sink out) {
  print_usage(program_name, out);
  print(out, "x=xxx checks the record and prints it (the peek): filename x=xxx\r\n");
  print(out,
        "many files: a folder with -r, @LIST (a file of paths, one a line; @- standard input), "
        "several files before en|de x p or x=xxx, or a pattern such as *.jpg on Windows\r\n");
  print(out, "options, anywhere (-- ends them):\r\n");
  print_text(out, option_help());
  print(out, "  -h, --help          this text\r\n");
  print(out, "  -V, --version       the version alone\r\n");
}

bool is_help(const char* text) {
  return std::strcmp(text, "/?") == 0 || std::strcmp(text, "-h") == 0 ||
         std::strcmp(text, "--help") == 0;
}

// A factor outside 1 to 255 works, but not as typed: say which byte counts.
void explain_factor(const CommandSpec& command, const char* text, std::int32_t parsed,
                    const Channels& channels) {
  if (text == nullptr || (parsed >= 1 && parsed <= 255)) return;
  const std::string outside = std::string("factor ") + text + " is outside 1 to 255: ";
  const std::int32_t used = reduced_key(command, {1, at_least_one(parsed)}).factor;
  if (!command.low_factor_byte && parsed > 255) {
    give_reason(channels, outside + "a record holds one byte, so " + command.text +
                              " refuses it (en recorded its low byte, " +
                              std::to_string(parsed & 0xFF) + ")");
  } else if (command.record == RecordUse::appends) {
    give_reason(channels, outside + std::to_string(used) + " is used and recorded");
  } else {
    give_reason(channels, outside + std::to_string(used) + " is used");
  }
}

// The one-file form once its command is known (null: none was given), and
// the time it took.
Result run_file(const CommandSpec* command, const char* path, Key given, const Channels& channels) {
  const std::time_t start = std::time(nullptr);
  const Result result =
      command != nullptr ? transform_file(*command, path, given, channels) : Result::failed;
  const std::time_t end = std::time(nullptr);
  print(channels.out, "use time: < %ds\r\n", static_cast<int>(end - start) + 1);
  return result;
}

struct Dispatched {
  Result result;
  bool usage;
  bool usual_exit_codes;
};

// A command line read as a command: the peek or a command, on one file or
// on many.
Dispatched run_line(const CommandLine& line, const char* program, const Channels& channels) {
  const bool usual = line.options.any();
  const char* path = line.paths[0].c_str();
  const bool many = line.names || names_many_files(path, line.options);
  const CommandSpec* command = nullptr;
  if (line.keyword != nullptr && !find_keyword(line.keyword, command)) {
    print(channels.out, "unknown encryption or decryption way?\r\n");
    print_usage(program, channels.out);
    return {Result::failed, true, usual};
  }
  if (line.keyword != nullptr && command == nullptr) {
    if (!many) return {peek_header(path, channels), false, usual};
    const ManyEnd end = run_batch(nullptr, {1, 1}, line.paths, line.options, channels);
    return {end.result, end.refused, usual};
  }
  if (command == nullptr) give_reason(channels, std::string(path) + ": no keyword given");
  const std::int32_t parsed_factor = line.factor != nullptr ? parse_number(line.factor) : 0;
  const std::int32_t way = at_least_one(line.way != nullptr ? parse_number(line.way) : 0);
  const std::int32_t factor = at_least_one(parsed_factor);
  if (command != nullptr) explain_factor(*command, line.factor, parsed_factor, channels);
  if (command != nullptr && many) {
    const ManyEnd end = run_batch(command, {way, factor}, line.paths, line.options, channels);
    return {end.result, end.refused, usual};
  }
  return {run_file(command, path, {way, factor}, channels), false, usual};
}

Dispatched dispatch(int argc, const char* const* argv, Sink out, Sink errors, Observer observer) {
  if (asks_for_version(argc, argv)) {
    print_version(out);
    return {Result::ok, false, true};
  }
  print(out, "%s\r\n", argv[0]);
  if (argc < 2) {
    print_usage(argv[0], out);
    return {Result::failed, true, false};
  }
  if (argc == 2 && is_help(argv[1])) {
    print_help(argv[0], out);
    return {Result::failed, false, false};
  }
  const CommandLine line = read_command_line(argc, argv);
  if (!line.refused.empty()) {
    print(errors, "tavo: %s\r\n", line.refused.c_str());
    return {Result::failed, true, line.options.any()};
  }
  Channels channels(out, errors, observer);
  channels.keep_time = line.options.keep_time;
  return run_line(line, argv[0], channels);
}

}  // namespace

int exit_code(Result result) { return result == Result::ok ? 1 : 0; }

Result dispatch_command(int argc, const char* const* argv, Sink out, Sink errors,
                        Observer observer) {
  return dispatch(argc, argv, out, errors, observer).result;
}

OneEnd run_one(const OneFile& run, Sink out, Sink errors, Observer observer) {
  OneEnd end;
  Channels channels(out, errors, observer);
  channels.reasons = &end.reasons;
  const CommandSpec* command = command_for(run.keyword);
  if (command == nullptr) {
    end.result = peek_header(run.path.c_str(), channels);
    return end;
  }
  const std::string typed = run.factor_text.value_or(std::to_string(run.factor));
  explain_factor(*command, typed.c_str(), run.factor, channels);
  const Key given{at_least_one(run.way), at_least_one(run.factor)};
  end.result = run_file(command, run.path.c_str(), given, channels);
  return end;
}

int run_command_line(int argc, const char* const* argv, Sink out, Sink errors, Observer observer) {
  const Dispatched done = dispatch(argc, argv, out, errors, observer);
  if (!done.usual_exit_codes) return exit_code(done.result);
  if (done.usage) return 2;
  return done.result == Result::ok ? 0 : 1;
}

void print_usage(const char* program_name, Sink out) {
  print(out, "usage: %s filename [en|de|rxen|rxde|] x p\r\n", after_last_backslash(program_name));
  print(out, "x=(4,3,2,1)\r\n");
  print(out, "p=(1-255)\r\n");
  print(out, "[en|de]encryption or decryption add header or remove header\r\n");
  print(out, "[rxen|rxde]encryption or decryption rude and not add or remove header or flag\r\n");
}

bool asks_for_version(int argc, const char* const* argv) {
  return argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0);
}

void print_version(Sink out) { print(out, "tavo " TAVO_VERSION_TEXT "\r\n"); }

void print_banner(Sink out) {
  print(out, "vornic encryption and decryption\r\n");
  print(out, "tavo " TAVO_VERSION_TEXT " version " TAVO_WEB_ADDRESS "\r\n");
}

}  // namespace tavo
