// The command dispatcher and the two printers.
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "batch.h"
#include "operations.h"
#include "output.h"
#include "tavo/tavo.h"
#include "tavo/version.h"

namespace tavo {
namespace {

constexpr char kPeekKeyword[] = "x=xxx";

// Only a keyword's own length is compared, so "encrypt" selects "en" and
// "x=xxxx" the peek. True with `command` null for the peek.
bool find_keyword(const char* text, const CommandSpec*& command) {
  for (const CommandSpec& spec : kCommands) {
    if (std::strncmp(text, spec.text, std::strlen(spec.text)) == 0) {
      command = &spec;
      return true;
    }
  }
  command = nullptr;
  return std::strncmp(text, kPeekKeyword, std::strlen(kPeekKeyword)) == 0;
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The atoi rule, saturating at the limits of a signed 32-bit integer instead
// of overflowing.
std::int32_t parse_number(const char* text) {
  while (is_space(*text)) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  std::int64_t magnitude = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (magnitude <= std::int64_t{INT32_MAX} + 1) magnitude = magnitude * 10 + (*text - '0');
  }
  if (negative)
    return magnitude > std::int64_t{INT32_MAX} ? INT32_MIN : static_cast<std::int32_t>(-magnitude);
  return magnitude > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(magnitude);
}

std::int32_t at_least_one(std::int32_t value) { return value < 1 ? 1 : value; }

const char* after_last_backslash(const char* name) {
  const char* slash = std::strrchr(name, '\\');
  return slash ? slash + 1 : name;
}

// Prints what the three ways of asking for help get beyond the usage lines.
void print_help(const char* program_name, Sink out) {
  print_usage(program_name, out);
  print(out,
        "many files: a folder with -r after p, @LIST (a file of paths, one a line), several "
        "files before en|de x p, or a pattern such as *.jpg on Windows\r\n");
  print(out,
        "after p (after x=xxx for the peek): -r (--recursive), --dry-run, --again (en: another "
        "layer), --exit-codes (0 ok, 1 failed, 2 usage)\r\n");
}

bool is_help(const char* text) {
  return std::strcmp(text, "/?") == 0 || std::strcmp(text, "-h") == 0 ||
         std::strcmp(text, "--help") == 0;
}

bool is_decimal(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

const CommandSpec* full_keyword(const char* text) {
  for (const CommandSpec& spec : kCommands) {
    if (std::strcmp(text, spec.text) == 0) return &spec;
  }
  return nullptr;
}

// The command line as the dispatcher reads it.
struct CommandLine {
  bool names = false;  // several paths, as a shell expands a pattern
  bool peek = false;   // with `names`: the peek over them
  std::vector<std::string> paths;
  const char* keyword = nullptr;
  const char* way = nullptr;
  const char* factor = nullptr;
  Options options;
  std::vector<const char*> not_options;  // "--..." elements after the factor, ignored
};

// Today's layout, with the options that may follow the factor (the peek's
// keyword); or, where shells expand patterns, the names such a shell makes
// of "tavo *.jpg en 3 42": more than five elements whose last three, options
// aside, are a keyword spelled in full and two decimal numbers. Today those
// ran on the first name with a way and a factor read from the next names.
// `names`: read those names so on every system.
CommandLine read_command_line(int argc, const char* const* argv, bool names) {
  CommandLine line;
  if (names || platform::shell_expands_patterns()) {
    int end = argc;
    Options options;
    while (end > 1 && read_option(argv[end - 1], options)) --end;
    const CommandSpec* spec = nullptr;
    if (end > 5 && (spec = full_keyword(argv[end - 3])) != nullptr && is_decimal(argv[end - 2]) &&
        is_decimal(argv[end - 1])) {
      line.names = true;
      line.paths.assign(argv + 1, argv + end - 3);
      line.keyword = argv[end - 3];
      line.way = argv[end - 2];
      line.factor = argv[end - 1];
    } else if (end > 3 && std::strcmp(argv[end - 1], kPeekKeyword) == 0 &&
               !find_keyword(argv[2], spec)) {
      // The same for the peek, where today the second name is taken for a
      // keyword and fails.
      line.names = line.peek = true;
      line.paths.assign(argv + 1, argv + end - 1);
      line.keyword = argv[end - 1];
    }
    if (line.names) {
      line.options = options;
      return line;
    }
  }
  line.paths.emplace_back(argv[1]);
  if (argc >= 3) line.keyword = argv[2];
  if (argc >= 4) line.way = argv[3];
  if (argc >= 5) line.factor = argv[4];
  const CommandSpec* spec = nullptr;
  const bool peek = argc >= 3 && find_keyword(argv[2], spec) && spec == nullptr;
  for (int i = peek ? 3 : 5; i < argc; ++i) {
    if (!read_option(argv[i], line.options) && std::strncmp(argv[i], "--", 2) == 0) {
      line.not_options.push_back(argv[i]);
    }
  }
  return line;
}

// A factor outside 1 to 255 works, but not as typed: say which byte counts.
void explain_factor(const CommandSpec& command, const char* text, std::int32_t parsed,
                    Sink errors) {
  if (text == nullptr || (parsed >= 1 && parsed <= 255)) return;
  const std::int32_t used = reduced_key(command, {1, at_least_one(parsed)}).factor;
  if (!command.low_factor_byte && parsed > 255) {
    print(errors,
          "tavo: factor %s is outside 1 to 255: a record holds one byte, so %s refuses it "
          "(en recorded its low byte, %d)\r\n",
          text, command.text, parsed & 0xFF);
  } else if (command.record == RecordUse::appends) {
    print(errors, "tavo: factor %s is outside 1 to 255: %d is used and recorded\r\n", text, used);
  } else {
    print(errors, "tavo: factor %s is outside 1 to 255: %d is used\r\n", text, used);
  }
}

struct Dispatched {
  Result result;
  bool usage;
  bool usual_exit_codes;
};

Dispatched dispatch(int argc, const char* const* argv, Sink out, Sink errors, Observer observer,
                    bool names) {
  const Channels channels(out, errors, observer);
  print(out, "%s\r\n", argv[0]);
  if (argc < 2) {
    print_usage(argv[0], out);
    return {Result::failed, true, false};
  }
  if (argc == 2 && is_help(argv[1])) {
    print_help(argv[0], out);
    return {Result::failed, false, false};
  }
  const CommandLine line = read_command_line(argc, argv, names);
  const bool usual = line.options.any();
  for (const char* ignored : line.not_options) {
    print(errors, "tavo: %s: not an option, ignored\r\n", ignored);
  }
  const char* path = argv[1];
  const CommandSpec* command = nullptr;
  if (line.keyword != nullptr) {
    if (!find_keyword(line.keyword, command)) {
      print(out, "unknown encryption or decryption way?\r\n");
      print_usage(argv[0], out);
      return {Result::failed, true, usual};
    }
    if (command == nullptr) {
      if (line.names || names_many_files(path, line.options)) {
        const BatchEnd end = run_batch(nullptr, {}, line.paths, line.options, channels);
        return {end.result, end.usage, usual};
      }
      return {peek_header(path, channels), false, usual};
    }
  }
  if (command == nullptr) print(errors, "tavo: %s: no keyword given\r\n", path);
  const std::int32_t parsed_factor = line.factor != nullptr ? parse_number(line.factor) : 0;
  const std::int32_t way = at_least_one(line.way != nullptr ? parse_number(line.way) : 0);
  const std::int32_t factor = at_least_one(parsed_factor);
  if (command != nullptr) explain_factor(*command, line.factor, parsed_factor, errors);

  if (command != nullptr && (line.names || names_many_files(path, line.options))) {
    const BatchEnd end = run_batch(command, {way, factor}, line.paths, line.options, channels);
    return {end.result, end.usage, usual};
  }
  const std::time_t start = std::time(nullptr);
  const Result result =
      command != nullptr ? transform_file(*command, path, {way, factor}, channels) : Result::failed;
  const std::time_t end = std::time(nullptr);
  print(out, "use time: < %ds\r\n", static_cast<int>(end - start) + 1);
  return {result, false, usual};
}

}  // namespace

int exit_code(Result result) { return result == Result::ok ? 1 : 0; }

Result dispatch_command(int argc, const char* const* argv, Sink out, Sink errors,
                        Observer observer) {
  return dispatch(argc, argv, out, errors, observer, false).result;
}

Result dispatch_names(int argc, const char* const* argv, Sink out, Sink errors, Observer observer) {
  return dispatch(argc, argv, out, errors, observer, true).result;
}

int run_command_line(int argc, const char* const* argv, Sink out, Sink errors, Observer observer) {
  const Dispatched done = dispatch(argc, argv, out, errors, observer, false);
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

void print_banner(Sink out) {
  print(out, "vornic encryption and decryption\r\n");
  print(out, "tavo " TAVO_VERSION_TEXT " version " TAVO_WEB_ADDRESS "\r\n");
}

}  // namespace tavo
