// Names that say what a control does when read alone ("XOR: encrypt" rather
// than "Encrypt"), for every reader: the accessible name that screen readers
// speak, and a tooltip on each button. The visible texts stay as they are.
#ifndef TAVO_DIALOG_CONTROL_NAMES_H
#define TAVO_DIALOG_CONTROL_NAMES_H

#include <windows.h>

#include <string>
#include <vector>

struct IAccPropServices;

namespace tavo::dialog {

class ControlNames {
 public:
  // Names each child of `window` whose name is in the string tables
  // (IDS_NAME_BASE plus its id). The calling thread has COM initialised.
  explicit ControlNames(HWND window);
  // Takes the accessible names off again; must run while the controls exist.
  ~ControlNames();

  ControlNames(const ControlNames&) = delete;
  ControlNames& operator=(const ControlNames&) = delete;

 private:
  // Dynamic annotation: the system's accessibility layer answers with the
  // given name for the control's own. Without it (before Windows XP, or
  // where it is not implemented) the tooltips remain.
  void annotate(HWND control, const std::wstring& name);

  HWND tooltip_ = nullptr;
  IAccPropServices* services_ = nullptr;
  std::vector<HWND> annotated_;
};

}  // namespace tavo::dialog

#endif  // TAVO_DIALOG_CONTROL_NAMES_H
