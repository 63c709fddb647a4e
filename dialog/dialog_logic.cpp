#include "dialog_logic.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace tavo::dialog {

const Operation kOperations[kOperationCount] = {
    {1001, "en", "4"}, {1002, "de", "4"}, {1004, "rxen", "4"}, {1005, "rxde", "4"},
    {1008, "en", "3"}, {1009, "de", "3"}, {1010, "rxen", "3"}, {1011, "rxde", "3"},
    {1013, "en", "2"}, {1014, "de", "2"}, {1015, "rxen", "2"}, {1016, "rxde", "2"},
    {1017, "en", "1"}, {1018, "de", "1"}, {1019, "rxen", "1"}, {1020, "rxde", "1"},
};

const Operation* find_operation(int control_id) {
  for (const Operation& operation : kOperations) {
    if (operation.control_id == control_id) return &operation;
  }
  return nullptr;
}

ArgumentVector operation_vector(const Operation& operation, const char* path, const char* factor) {
  return {{kEngineProgramName, path, operation.keyword, operation.way, factor}, 5};
}

ArgumentVector peek_vector(const char* path) {
  return {{kEngineProgramName, path, kPeekKeyword, nullptr, nullptr}, 3};
}

bool path_exists(const char* path) {
  if (path == nullptr || path[0] == '\0') return false;
  return platform::exists(path);
}

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool parse_close_factor(const char* text, std::int32_t& value) {
  // The field is examined through a fixed window, as a short read buffer
  // would see it; anything beyond it does not count.
  char window[kCloseCheckLength + 1] = {};
  std::strncpy(window, text, kCloseCheckLength);

  const char* start = window;
  while (is_blank(*start)) ++start;

  char* end = nullptr;
  long number = std::strtol(start, &end, 10);
  if (number == 0 && *start != '0') return false;

  while (is_blank(*end)) ++end;
  if (*end != '\0') return false;

  // long is 64-bit on some hosts; keep the 32-bit saturation of Windows.
  if (number > INT32_MAX) number = INT32_MAX;
  if (number < INT32_MIN) number = INT32_MIN;
  value = static_cast<std::int32_t>(number);
  return true;
}

int default_factor_from(int random_draw) { return random_draw % kFactorMax + 1; }

}  // namespace tavo::dialog
