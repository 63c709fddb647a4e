#include "main_dialog.h"

#include <commdlg.h>
#include <shellapi.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "resource.h"
#include "tavo/tavo.h"

namespace tavo::dialog {

namespace {

constexpr const wchar_t* kResultCaption = L"请查看控制台提示";
constexpr const wchar_t* kSuccessText = L"成功";
constexpr const wchar_t* kFailureText = L"出错了";
constexpr const wchar_t* kNotANumberText = L"请键入一个整数。";

// Help topic of the main dialog: the dialog-resource base plus the template.
constexpr DWORD kHelpTopic = 0x20000 + IDD_MAIN;

std::wstring window_text(HWND control) {
  int length = GetWindowTextLengthW(control);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  int got = GetWindowTextW(control, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(got));
  return text;
}

bool modifier_down() {
  return GetKeyState(VK_SHIFT) < 0 || GetKeyState(VK_CONTROL) < 0 || GetKeyState(VK_MENU) < 0;
}

}  // namespace

// The operation buttons come from the operation table; these are the others.
const MainDialog::Command MainDialog::kCommands[] = {
    {IDC_PEEK, &MainDialog::on_peek},
    {IDC_USAGE, &MainDialog::on_usage},
    {IDC_BROWSE, &MainDialog::on_browse},
};

MainDialog::MainDialog(const std::wstring& app_name) : application_name(app_name) {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  factor_value = default_factor_from(std::rand());
  icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP));
}

INT_PTR MainDialog::run(HWND owner) {
  return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), owner,
                         &MainDialog::procedure, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK MainDialog::procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(window, DWLP_USER, lparam);
    reinterpret_cast<MainDialog*>(lparam)->window = window;
  }
  auto* self = reinterpret_cast<MainDialog*>(GetWindowLongPtrW(window, DWLP_USER));
  if (self == nullptr) return FALSE;
  return self->handle(message, wparam);
}

INT_PTR MainDialog::handle(UINT message, WPARAM wparam) {
  switch (message) {
    case WM_INITDIALOG:
      on_init_dialog();
      return TRUE;  // the focus goes to the first tab stop, the chooser button
    case WM_COMMAND:
      on_command(LOWORD(wparam), HIWORD(wparam));
      return TRUE;
    case WM_CLOSE:
      on_close();
      return TRUE;
    case WM_DROPFILES:
      on_drop_files(reinterpret_cast<HDROP>(wparam));
      return TRUE;
    case WM_HELP:
      on_help();
      return TRUE;
    case WM_PAINT:
      return paint_minimised() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      // One of the few messages whose answer is the procedure's return value.
      return reinterpret_cast<INT_PTR>(icon);
    default:
      return FALSE;
  }
}

void MainDialog::on_init_dialog() {
  SetDlgItemInt(window, IDC_FACTOR, static_cast<UINT>(factor_value), FALSE);
  SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  DragAcceptFiles(window, TRUE);
}

void MainDialog::on_command(int control_id, int notification) {
  // IDOK (Enter with no default button) and IDCANCEL (Escape) are not in the
  // table, so neither closes the dialog; only the close box does.
  if (notification != BN_CLICKED) return;
  if (const Operation* operation = find_operation(control_id)) {
    on_operation(*operation);
    return;
  }
  for (const Command& command : kCommands) {
    if (command.control_id == control_id) {
      (this->*command.handler)(control_id);
      return;
    }
  }
}

void MainDialog::on_operation(const Operation& operation) {
  const char* factor = read_factor_text();
  const char* path = read_path_text();
  if (!path_exists(path)) return;
  run_and_report(operation_vector(operation, path, factor));
}

void MainDialog::on_peek(int) {
  const char* path = read_path_text();
  if (!path_exists(path)) return;
  run_and_report(peek_vector(path));
}

void MainDialog::on_usage(int) { print_usage(kUsageProgramName); }

void MainDialog::on_browse(int) {
  wchar_t chosen[MAX_PATH] = {};
  OPENFILENAMEW request = {};
  request.lStructSize = sizeof request;
  request.hwndOwner = window;
  request.lpstrFile = chosen;
  request.nMaxFile = MAX_PATH;
  // No filter and no default extension: every file is listed, and a name
  // that does not exist yet is accepted as typed.
  request.Flags = OFN_HIDEREADONLY;
  if (!GetOpenFileNameW(&request)) return;
  SetDlgItemTextW(window, IDC_PATH, chosen);
}

void MainDialog::on_close() {
  std::int32_t number = 0;
  if (!parse_close_factor(read_factor_text(), number)) {
    MessageBoxW(window, kNotANumberText, application_name.c_str(), MB_ICONEXCLAMATION | MB_OK);
    HWND field = GetDlgItem(window, IDC_FACTOR);
    SetFocus(field);
    SendMessageW(field, EM_SETSEL, 0, -1);
    return;
  }
  factor_value = number;
  EndDialog(window, IDOK);
}

void MainDialog::on_drop_files(HDROP drop) {
  // Several files dropped at once: the first one counts, as with the chooser.
  UINT length = DragQueryFileW(drop, 0, nullptr, 0);
  if (length > 0) {
    std::wstring path(length + 1, L'\0');
    DragQueryFileW(drop, 0, path.data(), length + 1);
    path.resize(length);
    SetDlgItemTextW(window, IDC_PATH, path.c_str());
  }
  DragFinish(drop);
}

void MainDialog::on_help() {
  if (modifier_down()) return;
  char help_file[MAX_PATH + 4] = {};
  DWORD length = GetModuleFileNameA(nullptr, help_file, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  char* dot = std::strrchr(help_file, '.');
  char* slash = std::strrchr(help_file, '\\');
  if (dot == nullptr || (slash != nullptr && dot < slash)) dot = help_file + length;
  std::strcpy(dot, ".HLP");
  WinHelpA(window, help_file, HELP_CONTEXT, kHelpTopic);
}

bool MainDialog::paint_minimised() {
  if (!IsIconic(window)) return false;
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  SendMessageW(window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(window, &client);
  int cx = GetSystemMetrics(SM_CXICON);
  int cy = GetSystemMetrics(SM_CYICON);
  int x = (client.right - client.left - cx + 1) / 2;
  int y = (client.bottom - client.top - cy + 1) / 2;
  DrawIcon(dc, x, y, icon);
  EndPaint(window, &paint);
  return true;
}

const char* MainDialog::read_path_text() {
  path_text = narrow(window_text(GetDlgItem(window, IDC_PATH)), CP_ACP);
  return path_text.c_str();
}

const char* MainDialog::read_factor_text() {
  factor_text = narrow(window_text(GetDlgItem(window, IDC_FACTOR)), CP_ACP);
  return factor_text.c_str();
}

void MainDialog::run_and_report(const ArgumentVector& vector) {
  int result = dispatch_command(vector.count, vector.items);
  // The dialog's own texts go through the wide API so they read right
  // whatever the system code page is.
  if (result != 0) {
    MessageBoxW(window, kSuccessText, kResultCaption, MB_ICONINFORMATION | MB_OK);
  } else {
    MessageBoxW(window, kFailureText, kResultCaption, MB_ICONEXCLAMATION | MB_OK);
  }
}

std::string narrow(const std::wstring& text, UINT code_page) {
  if (text.empty()) return std::string();
  const int length = static_cast<int>(text.size());
  const int size =
      WideCharToMultiByte(code_page, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(code_page, 0, text.data(), length, bytes.data(), size, nullptr, nullptr);
  return bytes;
}

}  // namespace tavo::dialog
