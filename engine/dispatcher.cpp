// The command dispatcher and the two printers.
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>

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

}  // namespace

int exit_code(Result result) { return result == Result::ok ? 1 : 0; }

Result dispatch_command(int argc, const char* const* argv, Sink out, Sink errors,
                        Observer observer) {
  const Channels channels(out, errors, observer);
  print(out, "%s\r\n", argv[0]);
  if (argc < 2) {
    print_usage(argv[0], out);
    return Result::failed;
  }
  const char* path = argv[1];
  const CommandSpec* command = nullptr;
  if (argc >= 3) {
    if (!find_keyword(argv[2], command)) {
      print(out, "unknown encryption or decryption way?\r\n");
      print_usage(argv[0], out);
      return Result::failed;
    }
    if (command == nullptr) return peek_header(path, channels);
  }
  if (command == nullptr) print(errors, "tavo: %s: no keyword given\r\n", path);
  const std::int32_t way = at_least_one(argc >= 4 ? parse_number(argv[3]) : 0);
  const std::int32_t factor = at_least_one(argc >= 5 ? parse_number(argv[4]) : 0);

  const std::time_t start = std::time(nullptr);
  const Result result =
      command != nullptr ? transform_file(*command, path, {way, factor}, channels) : Result::failed;
  const std::time_t end = std::time(nullptr);
  print(out, "use time: < %ds\r\n", static_cast<int>(end - start) + 1);
  return result;
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
