// The main dialog (main_dialog.h): one handler per control, the runs it
// starts (background_run.h) and the boxes that report them.
#include "main_dialog.h"

#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "resource.h"
#include "tavo/tavo.h"
#include "tavo/text.h"
#include "texts.h"

namespace tavo::dialog {

namespace {

// A run shorter than this shows no progress window.
constexpr UINT kProgressDelay = 500;
constexpr UINT_PTR kProgressTimer = 1;

// Help topic of the main dialog: the dialog-resource base plus the template.
constexpr DWORD kHelpTopic = 0x20000 + IDD_MAIN;

std::wstring window_text(HWND control) {
  int length = GetWindowTextLengthW(control);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  int got = GetWindowTextW(control, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(got));
  return text;
}

// Present from Windows Vista on; looked up so that older systems still run
// the program, without the reason shown.
BOOL set_shutdown_reason(HWND window, const wchar_t* reason) {
  using Create = BOOL(WINAPI*)(HWND, LPCWSTR);
  using Destroy = BOOL(WINAPI*)(HWND);
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (user32 == nullptr) return FALSE;
  if (reason != nullptr) {
    auto create = reinterpret_cast<Create>(
        reinterpret_cast<void (*)()>(GetProcAddress(user32, "ShutdownBlockReasonCreate")));
    return create != nullptr && create(window, reason);
  }
  auto destroy = reinterpret_cast<Destroy>(
      reinterpret_cast<void (*)()>(GetProcAddress(user32, "ShutdownBlockReasonDestroy")));
  return destroy != nullptr && destroy(window);
}

// Windows gives a closing console window a few seconds only, too few to put
// a large file back; so while a run goes its close box is greyed, and Cancel
// (or Ctrl+C) is the way to stop.
void enable_console_close(bool enable) {
  HWND console = GetConsoleWindow();
  if (console == nullptr) return;
  HMENU menu = GetSystemMenu(console, FALSE);
  if (menu != nullptr) {
    EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | (enable ? MF_ENABLED : MF_GRAYED));
  }
}

bool is_folder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Where the file chooser opens: the folder of the (first) path in the field,
// or the user's documents when there is none (rather than the program's folder).
std::wstring chooser_folder(const std::wstring& field) {
  std::wstring path = paths_in_field(field).front();
  const std::size_t slash = path.find_last_of(L"\\/");
  if (slash != std::wstring::npos) {
    std::wstring folder = path.substr(0, slash == 2 && path[1] == L':' ? 3 : slash);
    if (is_folder(folder)) return folder;
  }
  wchar_t* documents = nullptr;
  if (FAILED(SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &documents))) return {};
  std::wstring folder = documents;
  CoTaskMemFree(documents);
  return folder;
}

// How many failures the box of a run over many files names.
constexpr std::size_t kFailuresShown = 5;

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

MainDialog::MainDialog(const std::wstring& app_name, std::vector<std::wstring> given_paths)
    : application_name(app_name), paths(std::move(given_paths)) {
  use_display_language();
  // The accessible names and the file chooser use COM.
  com_ready = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  factor_value = default_factor_from(std::rand());
  icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP));
  INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
  InitCommonControlsEx(&classes);
}

MainDialog::~MainDialog() {
  // The dialog does not close during a run, so none should be left; if one
  // is, its thread must not outlive the object it reports to.
  progress.reset();
  worker.reset();
  names.reset();
  if (com_ready) CoUninitialize();
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
    case WM_DESTROY:
      on_destroy();
      return FALSE;
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
    case WM_TIMER:
      if (wparam == kProgressTimer) on_show_progress();
      return TRUE;
    case kRunProgressMessage:
      on_run_progress();
      return TRUE;
    case kRunFinishedMessage:
      on_run_finished(static_cast<Result>(wparam));
      return TRUE;
    case WM_QUERYENDSESSION:
      return answer(on_query_end_session() ? TRUE : FALSE);
    case WM_ENDSESSION:
      on_end_session(wparam != FALSE);
      return answer(0);
    default:
      return FALSE;
  }
}

INT_PTR MainDialog::answer(LONG_PTR result) {
  SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
  return TRUE;
}

void MainDialog::on_init_dialog() {
  SetDlgItemInt(window, IDC_FACTOR, static_cast<UINT>(factor_value), FALSE);
  SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  DragAcceptFiles(window, TRUE);
  names = std::make_unique<ControlNames>(window);
  set_paths(std::move(paths));
}

void MainDialog::on_destroy() { names.reset(); }

void MainDialog::set_paths(std::vector<std::wstring> files) {
  paths = std::move(files);
  if (!paths.empty()) SetDlgItemTextW(window, IDC_PATH, field_text(paths).c_str());
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
  const std::vector<std::wstring> files = many_files();
  if (!files.empty()) {
    run_many(&operation, files);
    return;
  }
  const char* factor = read_factor_text();
  const char* path = read_path_text();
  if (!path_exists(path)) return;
  run_and_report(one_file_request(&operation, path, factor));
}

void MainDialog::on_peek(int) {
  const std::vector<std::wstring> files = many_files();
  if (!files.empty()) {
    run_many(nullptr, files);
    return;
  }
  const char* path = read_path_text();
  if (!path_exists(path)) return;
  run_and_report(one_file_request(nullptr, path, std::string()));
}

void MainDialog::on_usage(int) { print_usage(kUsageProgramName); }

void MainDialog::on_browse(int) {
  // Room for the longest path Windows has (32,767 characters), not MAX_PATH.
  std::wstring chosen(32768, L'\0');
  OPENFILENAMEW request = {};
  request.lStructSize = sizeof request;
  request.hwndOwner = window;
  request.lpstrFile = chosen.data();
  request.nMaxFile = static_cast<DWORD>(chosen.size());
  const std::wstring folder = chooser_folder(window_text(GetDlgItem(window, IDC_PATH)));
  request.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
  // No filter and no default extension: every file is listed, and a name
  // that does not exist yet is accepted as typed. Several may be chosen.
  request.Flags = OFN_HIDEREADONLY | OFN_ALLOWMULTISELECT | OFN_EXPLORER;
  if (!GetOpenFileNameW(&request)) return;
  set_paths(chosen_files(chosen.c_str()));
}

void MainDialog::on_close() {
  // A run in progress ends by itself or through its cancel button; the
  // dialog stays until then.
  if (worker != nullptr) return;
  std::int32_t number = 0;
  if (!parse_close_factor(read_factor_text(), number)) {
    MessageBoxW(window, load_text(IDS_NOT_A_NUMBER).c_str(), application_name.c_str(),
                MB_ICONEXCLAMATION | MB_OK);
    HWND field = GetDlgItem(window, IDC_FACTOR);
    SetFocus(field);
    SendMessageW(field, EM_SETSEL, 0, -1);
    return;
  }
  factor_value = number;
  EndDialog(window, IDOK);
}

void MainDialog::on_drop_files(HDROP drop) {
  std::vector<std::wstring> dropped;
  const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
  for (UINT i = 0; i < count; ++i) {
    const UINT length = DragQueryFileW(drop, i, nullptr, 0);
    if (length == 0) continue;
    std::wstring path(length + 1, L'\0');
    DragQueryFileW(drop, i, path.data(), length + 1);
    path.resize(length);
    dropped.push_back(std::move(path));
  }
  DragFinish(drop);
  if (!dropped.empty()) set_paths(std::move(dropped));
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
  const std::wstring field = window_text(GetDlgItem(window, IDC_PATH));
  path_text = platform::utf8_from_utf16(std::wstring(without_quotes(std::wstring_view(field))));
  return path_text.c_str();
}

const char* MainDialog::read_factor_text() {
  factor_text = platform::utf8_from_utf16(window_text(GetDlgItem(window, IDC_FACTOR)));
  return factor_text.c_str();
}

std::vector<std::wstring> MainDialog::many_files() {
  std::vector<std::wstring> files = paths_in_field(window_text(GetDlgItem(window, IDC_PATH)));
  if (files.size() == 1 && !is_folder(files.front())) files.clear();
  return files;
}

void MainDialog::run_many(const Operation* operation, const std::vector<std::wstring>& files) {
  if (worker != nullptr) return;
  std::vector<std::string> targets;
  bool any = false;
  for (const std::wstring& file : files) {
    // A path from the command line may be relative: the console names each
    // file by its full path, as for a drop.
    const std::wstring full = platform::full_path(file);
    targets.push_back(platform::utf8_from_utf16(full.empty() ? file : full));
    any = any || path_exists(targets.back().c_str());
  }
  if (!any) return;
  ManyFiles run = many_files_request(operation, std::move(targets), read_factor_text());
  run_over_many = true;
  start_run(std::make_unique<BackgroundRun>(std::move(run), window), std::wstring());
}

void MainDialog::run_and_report(OneFile run) {
  if (worker != nullptr) return;
  run_over_many = false;
  const std::wstring name = file_name_of(utf16_from_utf8(run.path));
  start_run(std::make_unique<BackgroundRun>(std::move(run), window), name);
}

void MainDialog::start_run(std::unique_ptr<BackgroundRun> run, const std::wstring& file_name) {
  run_file_name = file_name;
  run_start_tick = GetTickCount();
  worker = std::move(run);
  if (!worker->started()) {
    worker.reset();
    show_result(Result::failed, {});
    return;
  }
  enable_controls(false);
  enable_console_close(false);
  SetTimer(window, kProgressTimer, kProgressDelay, nullptr);
}

void MainDialog::on_show_progress() {
  KillTimer(window, kProgressTimer);
  if (worker == nullptr || progress != nullptr) return;
  progress = std::make_unique<ProgressWindow>(window, *worker, run_file_name);
  progress->update(run_seconds());
}

void MainDialog::on_run_progress() {
  if (worker == nullptr) return;
  worker->progress_seen();
  if (progress != nullptr) progress->update(run_seconds());
}

void MainDialog::on_run_finished(Result result) {
  if (worker == nullptr) return;
  KillTimer(window, kProgressTimer);
  worker->wait();
  progress.reset();
  if (blocking_shutdown) {
    set_shutdown_reason(window, nullptr);
    blocking_shutdown = false;
  }
  enable_console_close(true);
  enable_controls(true);
  const std::vector<std::string> reasons = worker->reasons();
  const ManyEnd counts = worker->many_end();
  const std::vector<std::string> failures = worker->failures();
  const bool peek = worker->peeked();
  worker.reset();
  // A run over many files that could not start has no counts, only its reason.
  if (!run_over_many) {
    show_result(result, reasons);
  } else if (counts.refused) {
    show_result(result, {counts.refusal});
  } else {
    show_counts(result, counts, peek, failures);
  }
}

void MainDialog::show_counts(Result result, const ManyEnd& counts, bool peek,
                             const std::vector<std::string>& failures) {
  // The counts go below the text a single file's box has; where that text
  // has a place for reasons, they go there with the first failures.
  std::wstring details = with_values(load_text(peek ? IDS_PEEK_COUNTS : IDS_COUNTS),
                                     {std::to_wstring(counts.ok), std::to_wstring(counts.skipped),
                                      std::to_wstring(counts.failed + counts.held)});
  if (counts.left > 0) {
    details += L"\n" + with_values(load_text(IDS_FILES_LEFT),
                                   {std::to_wstring(counts.left), std::to_wstring(counts.count)});
  }
  std::wstring text;
  UINT box_icon = MB_ICONINFORMATION;
  switch (result) {
    case Result::ok:
      text = load_text(IDS_DONE);
      break;
    case Result::cancelled:
      text = load_text(IDS_CANCELLED);
      break;
    case Result::failed:
    case Result::interrupted: {
      box_icon = MB_ICONEXCLAMATION;
      text = load_text(IDS_FAILED);
      const std::wstring because = load_text(IDS_FAILED_BECAUSE);
      const std::string first = first_failures(failures, kFailuresShown);
      if (because.find(L"%1") != std::wstring::npos && !first.empty()) {
        text = with_value(because, details + L"\n\n" + utf16_from_utf8(first));
        details.clear();
      }
      break;
    }
  }
  if (!details.empty()) text += L"\n\n" + details;
  MessageBoxW(window, text.c_str(), load_text(IDS_RESULT_CAPTION).c_str(), box_icon | MB_OK);
}

void MainDialog::show_result(Result result, const std::vector<std::string>& reasons) {
  // The dialog's own texts go through the wide API so they read right
  // whatever the system code page is. A language whose failure text has no
  // place for the reasons (Chinese) leaves them to the console.
  const std::wstring caption = load_text(IDS_RESULT_CAPTION);
  std::wstring text;
  UINT box_icon = MB_ICONEXCLAMATION;
  switch (result) {
    case Result::ok:
      text = load_text(IDS_DONE);
      box_icon = MB_ICONINFORMATION;
      break;
    case Result::cancelled:
      text = load_text(IDS_CANCELLED);
      box_icon = MB_ICONINFORMATION;
      break;
    case Result::interrupted:
      text = load_text(IDS_INTERRUPTED);
      break;
    case Result::failed: {
      const std::string shown = first_failures(reasons, reasons.size());
      text = shown.empty() ? load_text(IDS_FAILED)
                           : with_value(load_text(IDS_FAILED_BECAUSE), utf16_from_utf8(shown));
      break;
    }
  }
  MessageBoxW(window, text.c_str(), caption.c_str(), box_icon | MB_OK);
}

bool MainDialog::on_query_end_session() {
  if (worker == nullptr) return true;
  // Ending the session now would cut the run short: cancel it, and hold the
  // session, with the reason shown, until the file is back as it was.
  worker->request_cancel();
  blocking_shutdown = set_shutdown_reason(window, load_text(IDS_SHUTDOWN_REASON).c_str()) != FALSE;
  return false;
}

void MainDialog::on_end_session(bool ending) {
  // The process may end as soon as this returns: let the undo finish first.
  if (ending && worker != nullptr) {
    worker->request_cancel();
    worker->wait();
  }
}

void MainDialog::enable_controls(bool enable) {
  if (!enable) {
    focus_before_run = GetFocus();
    disabled_controls.clear();
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
      if (IsWindowEnabled(child)) {
        EnableWindow(child, FALSE);
        disabled_controls.push_back(child);
      }
    }
    return;
  }
  for (HWND child : disabled_controls) EnableWindow(child, TRUE);
  disabled_controls.clear();
  if (focus_before_run != nullptr) SetFocus(focus_before_run);
}

double MainDialog::run_seconds() const {
  return static_cast<double>(GetTickCount() - run_start_tick) / 1000.0;
}

}  // namespace tavo::dialog
