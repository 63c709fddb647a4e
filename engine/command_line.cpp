// The command line (command_line.h).
#include "command_line.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform.h"

namespace tavo {
namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
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

// Every option: its names and what it sets. The help prints the same table.
struct OptionSpec {
  const char* short_name;  // may be null
  const char* long_name;
  bool Options::*flag;
  const char* help;
};

constexpr OptionSpec kOptionSpecs[] = {
    {"-r", "--recursive", &Options::recursive, "a folder's files and its folders' files"},
    {"-n", "--dry-run", &Options::dry_run, "say what each file would get, change nothing"},
    {nullptr, "--again", &Options::again, "en: add a layer where this key is outermost"},
    {"-q", "--quiet", &Options::quiet, "many files: only failures and the summary"},
    {"-0", "--null", &Options::null_ends,
     "@LIST: paths end in a NUL byte (find -print0); @- reads standard input"},
    {nullptr, "--keep-time", &Options::keep_time, "each file keeps its modification time"},
    {nullptr, "--exit-codes", &Options::exit_codes,
     "exit 0 all done, 1 something failed, 2 a line that cannot run (any option does)"},
};

}  // namespace

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

bool read_option(const char* text, Options& options) {
  for (const OptionSpec& spec : kOptionSpecs) {
    if ((spec.short_name != nullptr && std::strcmp(text, spec.short_name) == 0) ||
        std::strcmp(text, spec.long_name) == 0) {
      options.*spec.flag = true;
      return true;
    }
  }
  return false;
}

std::string option_help() {
  std::string text;
  for (const OptionSpec& spec : kOptionSpecs) {
    std::string names = spec.short_name != nullptr
                            ? std::string(spec.short_name) + ", " + spec.long_name
                            : std::string("    ") + spec.long_name;
    names.resize(std::max<std::size_t>(names.size() + 2, 20), ' ');
    text += "  " + names + spec.help + "\r\n";
  }
  return text;
}

namespace {

// Reads the options into `line` (refusing the first that is none) and gives
// the other elements, in order.
std::vector<const char*> take_options(int argc, const char* const* argv, CommandLine& line) {
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
  return rest;
}

}  // namespace

// Options anywhere before "--"; of what remains, up to four elements are the
// one-file form "path keyword way factor", read as it always was (keywords
// on their leading characters, numbers by the atoi rule), and more are the
// names form or refused, never read as the one-file form. An element that
// begins with '-' and is no option is refused, but for "-" and a negative
// number, which the one-file form reads as a way or a factor.
CommandLine read_command_line(int argc, const char* const* argv) {
  CommandLine line;
  const std::vector<const char*> rest = take_options(argc, argv, line);
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

bool keyword_from_text(const char* text, Keyword& keyword) {
  if (std::strcmp(text, kPeekKeyword) == 0) {
    keyword = Keyword::peek;
    return true;
  }
  const CommandSpec* spec = full_keyword(text);
  if (spec == nullptr) return false;
  keyword = static_cast<Keyword>(static_cast<int>(spec->keyword) - 1);
  return true;
}

std::int32_t read_number(const char* text) { return parse_number(text); }

}  // namespace tavo
