#include "dialog_app.h"

#include "main_dialog.h"
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

DialogApp::DialogApp() { print_banner(); }

int DialogApp::run() {
  application_name_ = executable_base_name();
  {
    MainDialog dialog(application_name_);
    // How the dialog ended is not examined: closing it ends the program.
    dialog.run(nullptr);
  }
  return 0;
}

}  // namespace tavo::dialog
