// The dialog program's application object: one static instance per process.
#ifndef TAVO_DIALOG_APP_H
#define TAVO_DIALOG_APP_H

#include <windows.h>

#include <string>

namespace tavo::dialog {

class DialogApp {
 public:
  // Prints the banner. The one instance is a static object, so the banner
  // comes before main and before any window.
  DialogApp();

  DialogApp(const DialogApp&) = delete;
  DialogApp& operator=(const DialogApp&) = delete;

  // Sets the application name, runs the main dialog once, modally, and
  // returns the process exit status. The command line is not looked at.
  int run();

 private:
  // Captions the dialog's own warning boxes; outlives the dialog.
  std::wstring application_name_;
};

// The executable's file name without folder and extension ("tavoui").
std::wstring executable_base_name();

}  // namespace tavo::dialog

#endif  // TAVO_DIALOG_APP_H
