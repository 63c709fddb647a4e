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

using Operation = int (*)(const char* path, std::int32_t way, std::int32_t factor,
                          const Channels& channels);

struct Keyword {
  const char* text;     // compared on exactly these leading characters
  Operation operation;  // null for the peek
};

// Tried in this order; only the keyword's own length is compared, so "encrypt"
// selects "en" and "x=xxxx" the peek.
constexpr Keyword kKeywords[] = {
    {"en", encrypt_with_header}, {"de", decrypt_with_header}, {"rxen", encrypt_rude},
    {"rxde", decrypt_rude},      {"x=xxx", nullptr},
};

const Keyword* find_keyword(const char* text) {
  for (const Keyword& keyword : kKeywords) {
    if (std::strncmp(text, keyword.text, std::strlen(keyword.text)) == 0) return &keyword;
  }
  return nullptr;
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

int dispatch_command(int argc, const char* const* argv, Sink out, Sink errors, Observer observer) {
  const Channels channels(out, errors, observer);
  print(out, "%s\r\n", argv[0]);
  if (argc < 2) {
    print_usage(argv[0], out);
    return 0;
  }
  const char* path = argv[1];
  const Keyword* keyword = nullptr;
  if (argc >= 3) {
    keyword = find_keyword(argv[2]);
    if (keyword == nullptr) {
      print(out, "unknown encryption or decryption way?\r\n");
      print_usage(argv[0], out);
      return 0;
    }
    if (keyword->operation == nullptr) return peek_header(path, channels);
  }
  if (keyword == nullptr) print(errors, "tavo: %s: no keyword given\r\n", path);
  const std::int32_t way = at_least_one(argc >= 4 ? parse_number(argv[3]) : 0);
  const std::int32_t factor = at_least_one(argc >= 5 ? parse_number(argv[4]) : 0);

  const std::time_t start = std::time(nullptr);
  const int result = keyword != nullptr ? keyword->operation(path, way, factor, channels) : 0;
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
