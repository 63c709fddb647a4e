// The dialog program's application object: one static instance per process.
#ifndef TAVO_DIALOG_APP_H
#define TAVO_DIALOG_APP_H

#include <windows.h>

#include <string>
#include <vector>

namespace tavo::dialog {

class DialogApp {
 public:
  // Prints the banner. The one instance is a static object, so the banner
  // comes before main and before any window.
  DialogApp();

  DialogApp(const DialogApp&) = delete;
  DialogApp& operator=(const DialogApp&) = delete;

  // Sets the application name and does what the command line asks: runs
  // the main dialog once, modally, with the files given on it, or adds the
  // program to the Send To menu or removes it (--sendto-add,
  // --sendto-remove). Returns the process exit status.
  int run();

 private:
  // Captions the dialog's own warning boxes; outlives the dialog.
  std::wstring application_name_;
};

// The executable's file name without folder and extension ("tavoui").
std::wstring executable_base_name();

// The process's command line after the program's name, split as the
// runtime splits it (quotes removed).
std::vector<std::wstring> command_line_arguments();

}  // namespace tavo::dialog

#endif  // TAVO_DIALOG_APP_H
