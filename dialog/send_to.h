// The program in the user's own "Send To" menu: a shortcut to it in the
// user's SendTo folder, made and removed without administrator rights and
// without the registry. Explorer then starts the program with the chosen
// files on its command line.
#ifndef TAVO_DIALOG_SEND_TO_H
#define TAVO_DIALOG_SEND_TO_H

#include <string>

namespace tavo::dialog {

// The shortcut's path: the user's SendTo folder and the program's name with
// ".lnk" (tavoui.lnk). Empty if the folder is unknown.
std::wstring send_to_shortcut(const std::wstring& program_name);

// Each prints one line to standard output, or the reason of a failure to
// standard error, and returns the process exit status: 0 done, 1 failed.
// Removing a shortcut that is not there is done already.
int add_to_send_to(const std::wstring& program_name);
int remove_from_send_to(const std::wstring& program_name);

}  // namespace tavo::dialog

#endif  // TAVO_DIALOG_SEND_TO_H
