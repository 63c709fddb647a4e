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
  std::vector<std::string> paths;
  const char* keyword = nullptr;
  const char* way = nullptr;
  const char* factor = nullptr;
  Options options;
  std::string refused;  // why the line cannot run; empty: it can
};

// "-5" is a number, which the one-file form takes for a way or a factor.
bool is_negative_number(const char* text) { return text[0] == '-' && is_decimal(text + 1); }

bool names_a_file(const char* text) {
  std::int64_t size = 0;
  bool own = false;
  platform::FileIdentity identity;
  return platform::kind_of(text, size, own, identity) != platform::EntryKind::missing;
}

// The names form: names, then a keyword spelled in full and a way and a
// factor in decimal, or the peek's keyword; as a shell makes of
// "tavo *.jpg en 3 42". Says why a line of that length is not one.
bool read_names(const std::vector<const char*>& rest, CommandLine& line) {
  const std::size_t count = rest.size();
  if (std::strcmp(rest.back(), kPeekKeyword) == 0) {
    line.names = true;
    line.paths.assign(rest.begin(), rest.end() - 1);
    line.keyword = rest.back();
    return true;
  }
  const char* keyword = rest[count - 3];
  const char* way = rest[count - 2];
  const char* factor = rest[count - 1];
  const CommandSpec* spec = nullptr;
  if (find_keyword(rest[1], spec) && !names_a_file(rest[1]) && full_keyword(keyword) == nullptr) {
    line.refused = std::string(rest[4]) +
                   ": more than a file, a keyword, a way and a factor (several files are named "
                   "before a keyword spelled in full, a way and a factor)";
  } else if (full_keyword(keyword) == nullptr) {
    line.refused = std::string(keyword) +
                   ": not a keyword spelled in full (en, de, rxen, rxde): several files are "
                   "named before a keyword, a way and a factor";
  } else if (!is_decimal(way) || !is_decimal(factor)) {
    line.refused = std::string(is_decimal(way) ? factor : way) +
                   ": not a decimal number: several files take a way and a factor in decimal";
  } else {
    line.names = true;
    line.paths.assign(rest.begin(), rest.end() - 3);
    line.keyword = keyword;
    line.way = way;
    line.factor = factor;
    return true;
  }
  return false;
}

// Options anywhere before "--"; of what remains, up to four elements are the
// one-file form "path keyword way factor", read as it always was (keywords
// on their leading characters, numbers by the atoi rule), and more are the
// names form or refused, never read as the one-file form. An element that
// begins with '-' and is no option is refused, but for "-" and a negative
// number, which the one-file form reads as a way or a factor.
CommandLine read_command_line(int argc, const char* const* argv) {
  CommandLine line;
  std::vector<const char*> rest;
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char* text = argv[i];
    if (options_end || text[0] != '-' || text[1] == '\0' || is_negative_number(text)) {
      rest.push_back(text);
    } else if (std::strcmp(text, "--") == 0) {
      options_end = true;
    } else if (!read_option(text, line.options) && line.refused.empty()) {
      line.refused = std::string(text) + ": not an option (tavo --help lists them)";
    }
  }
  if (!line.refused.empty()) return line;
  if (rest.empty()) {
    line.refused = "no file named";
    return line;
  }
  // "tavo a b x=xxx": the peek over names, where the second would be read as
  // a keyword.
  const bool peek_names = rest.size() >= 3 && std::strcmp(rest.back(), kPeekKeyword) == 0 &&
                          full_keyword(rest[1]) == nullptr &&
                          std::strcmp(rest[1], kPeekKeyword) != 0;
  if (rest.size() > 4 || peek_names) {
    read_names(rest, line);
    return line;
  }
  line.paths.emplace_back(rest[0]);
  if (rest.size() >= 2) line.keyword = rest[1];
  if (rest.size() >= 3) line.way = rest[2];
  if (rest.size() >= 4) line.factor = rest[3];
  // "tavo *.pdf de 3" over a.pdf and enrollment.pdf: the second name would
  // select "en" on its leading characters.
  if (line.keyword != nullptr && full_keyword(line.keyword) == nullptr &&
      std::strcmp(line.keyword, kPeekKeyword) != 0 && names_a_file(line.keyword)) {
    line.refused = std::string(line.keyword) +
                   ": ambiguous: a file of that name exists; spell the keyword in full (en, de, "
                   "rxen, rxde, x=xxx), and give several files a way and a factor";
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

Dispatched dispatch(int argc, const char* const* argv, Sink out, Sink errors, Observer observer) {
  if (asks_for_version(argc, argv)) {
    print_version(out);
    return {Result::ok, false, true};
  }
  Channels channels(out, errors, observer);
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
  const bool usual = line.options.any();
  channels.keep_time = line.options.keep_time;
  if (!line.refused.empty()) {
    print(errors, "tavo: %s\r\n", line.refused.c_str());
    return {Result::failed, true, usual};
  }
  const char* path = line.paths[0].c_str();
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
  return dispatch(argc, argv, out, errors, observer).result;
}

Result dispatch_names(int argc, const char* const* argv, Sink out, Sink errors, Observer observer) {
  return dispatch(argc, argv, out, errors, observer).result;
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
