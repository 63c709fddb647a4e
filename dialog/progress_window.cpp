// The progress window of a long run (progress_window.h).
#include "progress_window.h"

#include <commctrl.h>

#include "dialog_logic.h"
#include "resource.h"
#include "tavo/progress.h"
#include "texts.h"

namespace tavo::dialog {
namespace {

// The bar counts in thousandths: its range is 16 bits on older systems.
constexpr int kBarRange = 1000;

std::wstring widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// The window is modeless, inside the main dialog's modal loop, whose dialog
// manager knows only the main dialog; so Enter, Escape and Tab would go to
// the focused button as plain keys. That loop offers every message to the
// thread's message filter first: there this window's dialog manager takes
// its own.
thread_local HWND keyboard_window = nullptr;

LRESULT CALLBACK filter_message(int code, WPARAM wparam, LPARAM lparam) {
  if (code == MSGF_DIALOGBOX && keyboard_window != nullptr &&
      IsDialogMessageW(keyboard_window, reinterpret_cast<MSG*>(lparam))) {
    return TRUE;
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

}  // namespace

ProgressWindow::ProgressWindow(HWND owner, BackgroundRun& run, const std::wstring& file_name)
    : run_(run), file_name_(file_name) {
  CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROGRESS), owner,
                     &ProgressWindow::procedure, reinterpret_cast<LPARAM>(this));
  if (window_ == nullptr) return;
  keyboard_window = window_;
  keyboard_hook_ = SetWindowsHookExW(WH_MSGFILTER, &filter_message, nullptr, GetCurrentThreadId());
}

ProgressWindow::~ProgressWindow() {
  if (keyboard_hook_ != nullptr) UnhookWindowsHookEx(keyboard_hook_);
  keyboard_window = nullptr;
  if (window_ != nullptr) DestroyWindow(window_);
}

INT_PTR CALLBACK ProgressWindow::procedure(HWND window, UINT message, WPARAM wparam,
                                           LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(window, DWLP_USER, lparam);
    reinterpret_cast<ProgressWindow*>(lparam)->window_ = window;
  }
  auto* self = reinterpret_cast<ProgressWindow*>(GetWindowLongPtrW(window, DWLP_USER));
  if (self == nullptr) return FALSE;
  return self->handle(message, wparam);
}

INT_PTR ProgressWindow::handle(UINT message, WPARAM wparam) {
  switch (message) {
    case WM_INITDIALOG:
      on_init_dialog();
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDCANCEL) on_cancel();
      return TRUE;
    case WM_CLOSE:
      // The window goes when the run ends; closing it asks for that.
      on_cancel();
      return TRUE;
    case WM_DESTROY:
      // Also when the owner goes first, taking this window with it.
      window_ = nullptr;
      keyboard_window = nullptr;
      return FALSE;
    default:
      return FALSE;
  }
}

void ProgressWindow::on_init_dialog() {
  SetDlgItemTextW(window_, IDC_PROGRESS_FILE, file_name_.c_str());
  SendDlgItemMessageW(window_, IDC_PROGRESS_BAR, PBM_SETRANGE32, 0, kBarRange);
  SetWindowPos(window_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  update(0);
  ShowWindow(window_, SW_SHOWNORMAL);
}

void ProgressWindow::update(double elapsed_seconds) {
  if (window_ == nullptr) return;
  std::int64_t total = run_.total();
  std::int64_t done = run_.done();
  if (run_.file_count() > 0) {
    // Many files: which one, and the bytes of them all.
    const std::wstring file =
        with_values(load_text(IDS_FILE_OF),
                    {std::to_wstring(run_.file_number()), std::to_wstring(run_.file_count())}) +
        L": " + file_name_of(utf16_from_utf8(run_.file_name()));
    SetDlgItemTextW(window_, IDC_PROGRESS_FILE, file.c_str());
    done += run_.bytes_before();
    total = run_.bytes_total();
  }
  const ProgressFigures figures = progress_figures(done, total, elapsed_seconds);
  const int position =
      total > 0
          ? static_cast<int>(static_cast<double>(done) * kBarRange / static_cast<double>(total))
          : 0;
  SendDlgItemMessageW(window_, IDC_PROGRESS_BAR, PBM_SETPOS, static_cast<WPARAM>(position), 0);
  const std::wstring bytes =
      widen(figures.done + " / " + figures.total + " (" + std::to_string(figures.percent) + "%)");
  SetDlgItemTextW(window_, IDC_PROGRESS_BYTES, bytes.c_str());
  SetDlgItemTextW(window_, IDC_PROGRESS_SPEED, widen(figures.speed).c_str());
  SetDlgItemTextW(window_, IDC_PROGRESS_TIME_LEFT, widen(figures.time_left).c_str());
}

void ProgressWindow::on_cancel() {
  run_.request_cancel();
  // Pressed once is enough: the run ends at its next zone.
  EnableWindow(GetDlgItem(window_, IDCANCEL), FALSE);
}

}  // namespace tavo::dialog
