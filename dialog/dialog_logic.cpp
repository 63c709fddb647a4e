// What the dialog decides without any window (dialog_logic.h).
#include "dialog_logic.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "resource.h"
#include "tavo/text.h"

namespace tavo::dialog {

// clang-format off
const Operation kOperations[kOperationCount] = {
    {IDC_WAY4_EN, Keyword::en, 4}, {IDC_WAY4_DE, Keyword::de, 4}, {IDC_WAY4_RXEN, Keyword::rxen, 4}, {IDC_WAY4_RXDE, Keyword::rxde, 4},
    {IDC_WAY3_EN, Keyword::en, 3}, {IDC_WAY3_DE, Keyword::de, 3}, {IDC_WAY3_RXEN, Keyword::rxen, 3}, {IDC_WAY3_RXDE, Keyword::rxde, 3},
    {IDC_WAY2_EN, Keyword::en, 2}, {IDC_WAY2_DE, Keyword::de, 2}, {IDC_WAY2_RXEN, Keyword::rxen, 2}, {IDC_WAY2_RXDE, Keyword::rxde, 2},
    {IDC_WAY1_EN, Keyword::en, 1}, {IDC_WAY1_DE, Keyword::de, 1}, {IDC_WAY1_RXEN, Keyword::rxen, 1}, {IDC_WAY1_RXDE, Keyword::rxde, 1},
};
// clang-format on

const Operation* find_operation(int control_id) {
  for (const Operation& operation : kOperations) {
    if (operation.control_id == control_id) return &operation;
  }
  return nullptr;
}

OneFile one_file_request(const Operation* operation, const std::string& path,
                         const std::string& factor_text) {
  OneFile run;
  run.path = path;
  if (operation != nullptr) {
    run.keyword = operation->keyword;
    run.way = operation->way;
    run.factor = read_number(factor_text.c_str());
    run.factor_text = factor_text;
  }
  return run;
}

ManyFiles many_files_request(const Operation* operation, std::vector<std::string> targets,
                             const std::string& factor_text) {
  ManyFiles run;
  run.targets = std::move(targets);
  // A folder means its files and its folders' files.
  run.recursive = true;
  if (operation != nullptr) {
    run.keyword = operation->keyword;
    run.way = operation->way;
    run.factor = read_number(factor_text.c_str());
  }
  return run;
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

std::vector<std::wstring> paths_in_field(std::wstring_view field) {
  std::vector<std::wstring> paths;
  std::wstring_view rest = field;
  while (rest.size() >= 2 && rest.front() == L'"') {
    const std::size_t end = rest.find(L'"', 1);
    if (end == std::wstring_view::npos || end == 1) break;
    paths.emplace_back(rest.substr(1, end - 1));
    rest.remove_prefix(end + 1);
    if (rest.empty() && paths.size() > 1) return paths;
    if (rest.empty() || rest.front() != L' ') break;
    rest.remove_prefix(1);
  }
  return {std::wstring(without_quotes(field))};
}

std::wstring field_text(const std::vector<std::wstring>& paths) {
  if (paths.size() == 1) return paths.front();
  std::wstring text;
  for (const std::wstring& path : paths) text += (text.empty() ? L"\"" : L" \"") + path + L'"';
  return text;
}

std::vector<std::wstring> chosen_files(const wchar_t* answer) {
  std::vector<std::wstring> names;
  for (const wchar_t* name = answer; *name != L'\0'; name += names.back().size() + 1) {
    names.emplace_back(name);
  }
  if (names.size() < 2) return names;
  const std::wstring folder = names.front();
  const bool separated = folder.back() == L'\\' || folder.back() == L'/';
  names.erase(names.begin());
  for (std::wstring& name : names) name = folder + (separated ? L"" : L"\\") + name;
  return names;
}

std::wstring file_name_of(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::string first_failures(const std::vector<std::string>& failures, std::size_t limit) {
  std::string first;
  for (std::size_t taken = 0; taken < failures.size(); ++taken) {
    if (taken == limit) return first + "\n...";
    first += (first.empty() ? "" : "\n") + failures[taken];
  }
  return first;
}

StartRequest parse_start_request(const std::vector<std::wstring>& arguments) {
  StartRequest request;
  if (arguments.size() == 1 && arguments[0] == kSendToAddSwitch) {
    request.task = StartRequest::Task::send_to_add;
  } else if (arguments.size() == 1 && arguments[0] == kSendToRemoveSwitch) {
    request.task = StartRequest::Task::send_to_remove;
  } else {
    for (const std::wstring& argument : arguments) {
      std::wstring_view path = without_quotes(std::wstring_view(argument));
      if (!path.empty()) request.paths.emplace_back(path);
    }
  }
  return request;
}

}  // namespace tavo::dialog
