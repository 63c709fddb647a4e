// The dialog program's application object (dialog_app.h).
#include "dialog_app.h"

#include <shellapi.h>

#include "dialog_logic.h"
#include "main_dialog.h"
#include "send_to.h"
#include "tavo/tavo.h"

namespace tavo::dialog {

std::wstring executable_base_name() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  std::size_t start = path.find_last_of(L"\\/");
  std::wstring name = start == std::wstring::npos ? path : path.substr(start + 1);
  std::size_t dot = name.find_last_of(L'.');
  if (dot != std::wstring::npos) name.resize(dot);
  return name;
}

std::vector<std::wstring> command_line_arguments() {
  std::vector<std::wstring> arguments;
  int count = 0;
  wchar_t** items = CommandLineToArgvW(GetCommandLineW(), &count);
  if (items == nullptr) return arguments;
  for (int i = 1; i < count; ++i) arguments.emplace_back(items[i]);
  LocalFree(items);
  return arguments;
}

DialogApp::DialogApp() { print_banner(); }

int DialogApp::run() {
  application_name_ = executable_base_name();
  StartRequest request = parse_start_request(command_line_arguments());
  switch (request.task) {
    case StartRequest::Task::send_to_add:
      return add_to_send_to(application_name_);
    case StartRequest::Task::send_to_remove:
      return remove_from_send_to(application_name_);
    case StartRequest::Task::show_dialog:
      break;
  }
  {
    MainDialog dialog(application_name_, std::move(request.paths));
    // How the dialog ended is not examined: closing it ends the program.
    dialog.run(nullptr);
  }
  return 0;
}

}  // namespace tavo::dialog
