// The accessibility GUIDs are defined here, so that no import library of
// oleacc is needed: COM loads it when the services are asked for.
// clang-format off
#include <windows.h>
#include <initguid.h>
#include <commctrl.h>
#include <oleacc.h>
// clang-format on

#include "control_names.h"

#include "resource.h"
#include "texts.h"

namespace tavo::dialog {
namespace {

bool is_push_button(HWND control) {
  wchar_t name[16] = {};
  GetClassNameW(control, name, 16);
  if (lstrcmpiW(name, WC_BUTTONW) != 0) return false;
  const LONG type = GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK;
  return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON;
}

}  // namespace

ControlNames::ControlNames(HWND window) {
  CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                   reinterpret_cast<void**>(&services_));
  tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                             WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, window, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    const int id = GetDlgCtrlID(child);
    if (id <= 0) continue;
    std::wstring name = load_text(static_cast<UINT>(IDS_NAME_BASE + id));
    if (name.empty()) continue;
    annotate(child, name);
    if (tooltip_ == nullptr || !is_push_button(child)) continue;
    TOOLINFOW tool = {};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = window;
    tool.uId = reinterpret_cast<UINT_PTR>(child);
    tool.lpszText = name.data();  // copied by the tooltip
    SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

ControlNames::~ControlNames() {
  if (services_ != nullptr) {
    const MSAAPROPID name = PROPID_ACC_NAME;
    for (HWND control : annotated_) {
      services_->ClearHwndProps(control, OBJID_CLIENT, CHILDID_SELF, &name, 1);
    }
    services_->Release();
  }
  if (tooltip_ != nullptr && IsWindow(tooltip_)) DestroyWindow(tooltip_);
}

void ControlNames::annotate(HWND control, const std::wstring& name) {
  if (services_ == nullptr) return;
  if (SUCCEEDED(services_->SetHwndPropStr(control, OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_NAME,
                                          name.c_str()))) {
    annotated_.push_back(control);
  }
}

}  // namespace tavo::dialog
