// The dialog driver's harness: checks and their report, waiting, other
// processes' windows, screen pixels, scratch files, and a session with one
// running tavoui.exe whose buttons are pressed and whose boxes are read.
#ifndef TAVO_DIALOG_DRIVER_HARNESS_H
#define TAVO_DIALOG_DRIVER_HARNESS_H

// <windows.h> first: the other Win32 headers build on it.
// clang-format off
#include <windows.h>
// clang-format on

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "resource.h"

namespace tavo::driver {

// ---------------------------------------------------------------- reporting

// Counts every check; prints the failing ones with the scenario's name.
extern int g_checks;
extern int g_failures;
extern const char* g_scenario;

bool check(bool ok, int line, const std::string& what);

#define CHECK(cond) check((cond), __LINE__, #cond)
#define CHECK_MSG(cond, msg) check((cond), __LINE__, std::string(#cond) + " -- " + (msg))

std::string utf8(const std::wstring& text);
std::string ansi(const std::wstring& text);
// Shows control characters, so a missing "\r" is visible in a failure.
std::string visible(const std::string& text);
std::string wide_pair(const std::wstring& got, const std::wstring& want);
std::string number_pair(long long got, long long want);

// ---------------------------------------------------------------- waiting

template <typename Predicate>
bool wait_until(Predicate predicate, DWORD timeout_ms) {
  DWORD start = GetTickCount();
  for (;;) {
    if (predicate()) return true;
    if (GetTickCount() - start >= timeout_ms) return false;
    Sleep(20);
  }
}

constexpr DWORD kShortWait = 1500;  // how long "nothing happens" is watched
constexpr DWORD kLongWait = 15000;  // how long something expected may take

// ---------------------------------------------------------------- windows

std::wstring window_text(HWND window);
std::wstring class_name(HWND window);
void set_text(HWND window, const std::wstring& text);
std::vector<HWND> dialogs_of_thread(DWORD thread);
// A window the dialog owns other than the progress window: a message box,
// or the file chooser.
HWND owned_window(DWORD thread, HWND owner);
bool is_message_box(HWND window);
// The progress window of a long run, while it shows.
HWND progress_window(DWORD thread, HWND owner);
bool is_progress_window(HWND window);

// ---------------------------------------------------------------- the program

// tavoui.exe started with its console output captured.

class Program {
 public:
  explicit Program(const std::wstring& exe, const std::wstring& arguments = L"") {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE write_end = nullptr;
    CreatePipe(&read_end_, &write_end, &inherit, 0);
    SetHandleInformation(read_end_, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = write_end;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring command = L"\"" + exe + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    InitializeCriticalSection(&lock_);
    started_ = CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                              nullptr, &startup, &process_) != FALSE;
    CloseHandle(write_end);
    CloseHandle(nul);
    if (started_) reader_ = CreateThread(nullptr, 0, &Program::read_output, this, 0, nullptr);
  }

  ~Program() {
    if (started_ && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.hProcess, 99);
      WaitForSingleObject(process_.hProcess, 5000);
    }
    if (reader_ != nullptr) {
      WaitForSingleObject(reader_, 5000);
      CloseHandle(reader_);
    }
    if (started_) {
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
    CloseHandle(read_end_);
    DeleteCriticalSection(&lock_);
  }

  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool started() const { return started_; }
  DWORD thread() const { return process_.dwThreadId; }
  HANDLE process() const { return process_.hProcess; }

  std::string output() {
    EnterCriticalSection(&lock_);
    std::string copy = output_;
    LeaveCriticalSection(&lock_);
    return copy;
  }

  // The output written since `mark` (an earlier output().size()).
  std::string output_since(std::size_t mark) {
    std::string all = output();
    return mark <= all.size() ? all.substr(mark) : std::string();
  }

  bool wait_for_output(std::size_t mark, const std::string& text, DWORD timeout) {
    return wait_until([&] { return output_since(mark).find(text) != std::string::npos; }, timeout);
  }

  HWND find_dialog(DWORD timeout) {
    HWND dialog = nullptr;
    wait_until(
        [&] {
          for (HWND window : dialogs_of_thread(thread())) {
            if (GetWindow(window, GW_OWNER) == nullptr) dialog = window;
          }
          return dialog != nullptr;
        },
        timeout);
    return dialog;
  }

  bool exited(DWORD timeout, DWORD& code) {
    if (WaitForSingleObject(process_.hProcess, timeout) != WAIT_OBJECT_0) return false;
    GetExitCodeProcess(process_.hProcess, &code);
    return true;
  }

 private:
  static DWORD WINAPI read_output(void* context) {
    auto* self = static_cast<Program*>(context);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(self->read_end_, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      EnterCriticalSection(&self->lock_);
      self->output_.append(buffer, got);
      LeaveCriticalSection(&self->lock_);
    }
    return 0;
  }

  HANDLE read_end_ = nullptr;
  HANDLE reader_ = nullptr;
  PROCESS_INFORMATION process_ = {};
  bool started_ = false;
  CRITICAL_SECTION lock_;
  std::string output_;
};

// ---------------------------------------------------------------- screen

// The screen's pixels in `area`, 0x00RRGGBB, row by row from the top.
struct Pixels {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> rgb;
};

Pixels render(int width, int height, const std::function<void(HDC)>& paint);
Pixels capture(const RECT& area);
int count_pink(const Pixels& pixels);
// Which system icon a message box shows: its icon control's pixels against
// the two candidates drawn on the same background.
bool box_shows_icon(HWND box, const wchar_t* wanted, const wchar_t* other, std::string& detail);

// ---------------------------------------------------------------- files

using Bytes = std::vector<unsigned char>;

Bytes read_file(const std::wstring& path);
void write_file(const std::wstring& path, const Bytes& bytes);

// Pseudo-random content from a fixed seed (printed once), so a failure can
// be replayed.
constexpr std::uint32_t kSeed = 20100530;
Bytes sample_bytes(std::size_t size, std::uint32_t salt);

// The forward transform of each way, written out from its definition.
Bytes transformed(const Bytes& data, int way, int factor);

// A new folder under the temporary folder, and its removal with its files.
std::wstring make_scratch_folder();
void remove_folder(const std::wstring& folder);

// ---------------------------------------------------------------- a session

class Session {
 public:
  Session(const std::wstring& exe, const std::wstring& arguments = L"") : program(exe, arguments) {}

  bool open() {
    if (!CHECK(program.started())) return false;
    dialog = program.find_dialog(kLongWait);
    return CHECK_MSG(dialog != nullptr, "no dialog appeared");
  }

  HWND item(int id) const { return GetDlgItem(dialog, id); }

  void set_path(const std::wstring& path) { set_text(item(IDC_PATH), path); }
  void set_factor(const std::wstring& factor) { set_text(item(IDC_FACTOR), factor); }

  // Presses a button the way a mouse click would. Posted, because a
  // handler may not return until its message box is dismissed.
  void click(int id) { PostMessageW(item(id), BM_CLICK, 0, 0); }

  HWND wait_owned(DWORD timeout) {
    HWND found = nullptr;
    wait_until([&] { return (found = owned_window(program.thread(), dialog)) != nullptr; },
               timeout);
    return found;
  }

  // Waits for a message box, checks its text and caption, dismisses it.
  bool expect_box(const std::wstring& text, const std::wstring& caption,
                  const wchar_t* icon = IDI_EXCLAMATION) {
    HWND box = wait_owned(kLongWait);
    if (!CHECK_MSG(box != nullptr, "no message box \"" + utf8(text) + "\"")) return false;
    bool ok = CHECK_MSG(is_message_box(box), "owned window is not a message box");
    std::wstring got = window_text(GetDlgItem(box, 0xFFFF));
    ok &= CHECK_MSG(got == text, wide_pair(got, text));
    std::wstring got_caption = window_text(box);
    ok &= CHECK_MSG(got_caption == caption, wide_pair(got_caption, caption));
    std::string detail;
    const wchar_t* other = icon == IDI_EXCLAMATION ? IDI_INFORMATION : IDI_EXCLAMATION;
    // Painting may lag behind the box's appearance: look again for a while.
    bool shows = wait_until([&] { return box_shows_icon(box, icon, other, detail); }, kShortWait);
    ok &= CHECK_MSG(shows, utf8(text) + ": " + detail);
    dismiss(box);
    return ok;
  }

  void dismiss(HWND box) {
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    CHECK_MSG(wait_until([&] { return !IsWindow(box) || !IsWindowVisible(box); }, kLongWait),
              "the box did not close");
  }

  // Nothing owned by the dialog appears for a while.
  bool expect_no_window() {
    HWND window = wait_owned(kShortWait);
    if (window != nullptr) dismiss(window);
    return window == nullptr;
  }

  Program program;
  HWND dialog = nullptr;
};

const wchar_t kResultCaption[] = L"请查看控制台提示";
const wchar_t kSuccess[] = L"成功";

// The console text with the timing value ("use time: < Ns") replaced by N.
std::string timing_free(const std::string& text);

}  // namespace tavo::driver

#endif  // TAVO_DIALOG_DRIVER_HARNESS_H
