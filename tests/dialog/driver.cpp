// Drives the real tavoui.exe from outside, the way a user would: starts it
// with its console output captured, checks the dialog it shows control by
// control, fills the fields, presses the buttons, reads and dismisses the
// message boxes, and checks the console lines and the files on disk.
//
// usage: tavo_dialog_driver PATH\TO\tavoui.exe
// Needs a display (Xvfb under Wine). Prints one line per check that fails
// and a summary; exits with 1 if any check failed.
// <windows.h> first: the other Win32 headers build on it.
// clang-format off
#include <windows.h>
// clang-format on

#include <commdlg.h>
#include <dlgs.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "main_dialog.h"
#include "resource.h"

namespace {

// ---------------------------------------------------------------- reporting

int g_checks = 0;
int g_failures = 0;
const char* g_scenario = "";

std::string utf8(const std::wstring& text) { return tavo::dialog::narrow(text, CP_UTF8); }
std::string ansi(const std::wstring& text) { return tavo::dialog::narrow(text, CP_ACP); }

// Shows control characters, so a missing "\r" is visible in a failure.
std::string visible(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

bool check(bool ok, int line, const std::string& what) {
  ++g_checks;
  if (!ok) {
    ++g_failures;
    std::printf("FAIL [%s] line %d: %s\n", g_scenario, line, what.c_str());
    std::fflush(stdout);
  }
  return ok;
}

#define CHECK(cond) check((cond), __LINE__, #cond)
#define CHECK_MSG(cond, msg) check((cond), __LINE__, std::string(#cond) + " -- " + (msg))

std::string wide_pair(const std::wstring& got, const std::wstring& want) {
  return "got \"" + utf8(got) + "\", want \"" + utf8(want) + "\"";
}

std::string number_pair(long long got, long long want) {
  return "got " + std::to_string(got) + ", want " + std::to_string(want);
}

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

std::wstring window_text(HWND window) {
  wchar_t buffer[1024] = {};
  // WM_GETTEXT reaches the other process's control and copies the text back.
  SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer), SMTO_BLOCK, 5000,
                      nullptr);
  return buffer;
}

std::wstring class_name(HWND window) {
  wchar_t buffer[64] = {};
  GetClassNameW(window, buffer, 64);
  return buffer;
}

void set_text(HWND window, const std::wstring& text) {
  SendMessageTimeoutW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_BLOCK,
                      5000, nullptr);
}

struct ThreadWindows {
  DWORD thread;
  std::vector<HWND> found;
};

BOOL CALLBACK collect_dialog(HWND window, LPARAM context) {
  auto* list = reinterpret_cast<ThreadWindows*>(context);
  if (IsWindowVisible(window) && class_name(window) == L"#32770") list->found.push_back(window);
  return TRUE;
}

std::vector<HWND> dialogs_of_thread(DWORD thread) {
  ThreadWindows windows{thread, {}};
  EnumThreadWindows(thread, &collect_dialog, reinterpret_cast<LPARAM>(&windows));
  return windows.found;
}

// A window the dialog owns: a message box, or the file chooser.
HWND owned_window(DWORD thread, HWND owner) {
  for (HWND window : dialogs_of_thread(thread)) {
    if (window != owner && GetWindow(window, GW_OWNER) == owner) return window;
  }
  return nullptr;
}

bool is_message_box(HWND window) {
  return GetDlgItem(window, 0xFFFF) != nullptr && GetDlgItem(window, IDOK) != nullptr &&
         GetDlgItem(window, edt1) == nullptr && GetDlgItem(window, cmb13) == nullptr;
}

// ---------------------------------------------------------------- the program

class Program {
 public:
  explicit Program(const std::wstring& exe) {
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
    std::wstring command = L"\"" + exe + L"\"";
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

Pixels render(int width, int height, const std::function<void(HDC)>& paint) {
  Pixels out;
  if (width <= 0 || height <= 0) return out;
  BITMAPINFO format = {};
  format.bmiHeader.biSize = sizeof format.bmiHeader;
  format.bmiHeader.biWidth = width;
  format.bmiHeader.biHeight = -height;
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateDIBSection(screen, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  paint(memory);
  GdiFlush();
  out.width = width;
  out.height = height;
  const auto* words = static_cast<const std::uint32_t*>(bits);
  out.rgb.assign(words, words + width * height);
  for (auto& word : out.rgb) word &= 0xFFFFFF;
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return out;
}

Pixels capture(const RECT& area) {
  return render(area.right - area.left, area.bottom - area.top, [&](HDC memory) {
    HDC screen = GetDC(nullptr);
    BitBlt(memory, 0, 0, area.right - area.left, area.bottom - area.top, screen, area.left,
           area.top, SRCCOPY);
    ReleaseDC(nullptr, screen);
  });
}

int count_pink(const Pixels& pixels) {
  int count = 0;
  for (std::uint32_t word : pixels.rgb) {
    int r = (word >> 16) & 0xFF, g = (word >> 8) & 0xFF, b = word & 0xFF;
    if (r > 200 && g < 160 && b > 120 && r - g > 60) ++count;
  }
  return count;
}

long long distance(const Pixels& a, const Pixels& b) {
  if (a.rgb.size() != b.rgb.size()) return -1;
  long long total = 0;
  for (std::size_t i = 0; i < a.rgb.size(); ++i) {
    for (int shift : {0, 8, 16}) {
      total += std::abs(static_cast<int>((a.rgb[i] >> shift) & 0xFF) -
                        static_cast<int>((b.rgb[i] >> shift) & 0xFF));
    }
  }
  return total;
}

// Which system icon a message box shows: its icon control's pixels against
// the two candidates drawn on the same background.
bool box_shows_icon(HWND box, const wchar_t* wanted, const wchar_t* other, std::string& detail) {
  HWND control = nullptr;
  for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
        lstrcmpiW(class_name(child).c_str(), L"Static") == 0) {
      control = child;
    }
  }
  if (control == nullptr) {
    detail = "no icon in the box";
    return false;
  }
  RECT area;
  GetWindowRect(control, &area);
  Pixels shown;
  // Give the box time to paint: the icon area stops being one flat colour.
  wait_until(
      [&] {
        shown = capture(area);
        for (std::uint32_t word : shown.rgb) {
          if (word != shown.rgb.front()) return true;
        }
        return false;
      },
      kShortWait);
  auto drawn = [&](const wchar_t* name) {
    HICON icon = LoadIconW(nullptr, name);
    std::uint32_t background = shown.rgb.empty() ? 0 : shown.rgb.front();
    return render(shown.width, shown.height, [&](HDC dc) {
      HBRUSH brush = CreateSolidBrush(
          RGB((background >> 16) & 0xFF, (background >> 8) & 0xFF, background & 0xFF));
      RECT all = {0, 0, shown.width, shown.height};
      FillRect(dc, &all, brush);
      DeleteObject(brush);
      DrawIcon(dc, 0, 0, icon);
    });
  };
  long long near_wanted = distance(shown, drawn(wanted));
  long long near_other = distance(shown, drawn(other));
  detail = "distance to wanted icon " + std::to_string(near_wanted) + ", to the other " +
           std::to_string(near_other);
  return near_wanted >= 0 && near_wanted < near_other;
}

// ---------------------------------------------------------------- layout

enum class Kind {
  kDefaultButton,
  kButton,
  kFlatButton,
  kGroup,
  kGroupLeft,
  kGroupCenter,
  kGroupRight,
  kPathEdit,
  kFactorEdit,
  kText,
  kLine,
  kIcon,
};

struct ExpectedControl {
  int id;
  Kind kind;
  const wchar_t* text;  // nullptr: not compared (the licence note)
  int x, y, w, h;
};

// The template, in template order.
const ExpectedControl kLayout[] = {
    {IDC_BROWSE, Kind::kDefaultButton, L"选择文件..", 263, 8, 50, 14},
    {-1, Kind::kGroup, L"加解密因数(1-255)", 3, 50, 255, 106},
    {IDC_PATH, Kind::kPathEdit, L"", 3, 10, 255, 12},
    {-1, Kind::kGroupLeft, L"反向加密解密(不使用加解密因数)", 3, 24, 255, 25},
    {IDC_WAY4_EN, Kind::kButton, L"加密", 10, 34, 50, 12},
    {IDC_WAY4_DE, Kind::kButton, L"解密", 73, 34, 50, 12},
    {IDC_USAGE, Kind::kButton, L"使用说明", 73, 60, 50, 12},
    {IDC_WAY4_RXEN, Kind::kButton, L"暴力加密", 136, 34, 50, 12},
    {IDC_WAY4_RXDE, Kind::kButton, L"暴力解密", 199, 34, 50, 12},
    {IDC_FACTOR, Kind::kFactorEdit, nullptr, 10, 60, 50, 12},
    {-1, Kind::kGroupCenter, L"特别提示 - tavo 0.5beta", 1, 158, 318, 41},
    {-1, Kind::kText, L"重要文件，请于加解密前做好备份！！！出错后果很严重，无法恢复？？？", 5, 168,
     265, 8},
    {-1, Kind::kGroupLeft, L"请选择文件需要加密或解密的文件", 1, 0, 318, 23},
    {-1, Kind::kGroupRight, L"异或加密解密(使用加解密因数)", 3, 78, 255, 25},
    {IDC_WAY3_EN, Kind::kFlatButton, L"加密", 10, 88, 50, 12},
    {IDC_WAY3_DE, Kind::kFlatButton, L"解密", 74, 88, 50, 12},
    {IDC_WAY3_RXEN, Kind::kFlatButton, L"暴力加密", 136, 88, 50, 12},
    {IDC_WAY3_RXDE, Kind::kFlatButton, L"暴力解密", 200, 88, 50, 12},
    {IDC_PEEK, Kind::kButton, L"窥视加密头", 136, 60, 50, 12},
    {-1, Kind::kLine, L"", 3, 74, 255, 1},
    {-1, Kind::kGroupRight, L"2#加密解密(使用加解密因数)", 3, 104, 255, 25},
    {IDC_WAY2_EN, Kind::kFlatButton, L"加密", 9, 114, 50, 12},
    {IDC_WAY2_DE, Kind::kFlatButton, L"解密", 73, 114, 50, 12},
    {IDC_WAY2_RXEN, Kind::kFlatButton, L"暴力加密", 135, 114, 50, 12},
    {IDC_WAY2_RXDE, Kind::kFlatButton, L"暴力解密", 199, 114, 50, 12},
    {-1, Kind::kGroupRight, L"1#加密解密(使用加解密因数)", 3, 129, 255, 25},
    {IDC_WAY1_EN, Kind::kFlatButton, L"加密", 9, 139, 50, 12},
    {IDC_WAY1_DE, Kind::kFlatButton, L"解密", 73, 139, 50, 12},
    {IDC_WAY1_RXEN, Kind::kFlatButton, L"暴力加密", 135, 139, 50, 12},
    {IDC_WAY1_RXDE, Kind::kFlatButton, L"暴力解密", 199, 139, 50, 12},
    {-1, Kind::kText, L"实现几种vornic的加解密方法，适用于非特别重要机密文件高速加解密保护", 5, 178,
     289, 8},
    {-1, Kind::kText, nullptr, 5, 188, 289, 8},
    {-1, Kind::kIcon, nullptr, 295, 175, 21, 21},
};

const int kTabOrder[] = {IDC_BROWSE,    IDC_PATH,      IDC_WAY4_EN, IDC_WAY4_DE, IDC_USAGE,
                         IDC_WAY4_RXEN, IDC_WAY4_RXDE, IDC_FACTOR,  IDC_WAY3_EN, IDC_WAY3_DE,
                         IDC_WAY3_RXEN, IDC_WAY3_RXDE, IDC_PEEK,    IDC_WAY2_EN, IDC_WAY2_DE,
                         IDC_WAY2_RXEN, IDC_WAY2_RXDE, IDC_WAY1_EN, IDC_WAY1_DE, IDC_WAY1_RXEN,
                         IDC_WAY1_RXDE};

const wchar_t kTitle[] = L"tavoui-vornic加密解密(程序)-http://www.example.com/tavo";

bool is_group(Kind kind) {
  return kind == Kind::kGroup || kind == Kind::kGroupLeft || kind == Kind::kGroupCenter ||
         kind == Kind::kGroupRight;
}

bool is_push_button(Kind kind) {
  return kind == Kind::kDefaultButton || kind == Kind::kButton || kind == Kind::kFlatButton;
}

// Style bits that follow from a control's kind, as (mask, value) pairs.
void check_style(const ExpectedControl& expected, HWND control, int index) {
  LONG style = GetWindowLongW(control, GWL_STYLE);
  LONG exstyle = GetWindowLongW(control, GWL_EXSTYLE);
  std::string where = "control #" + std::to_string(index + 1) + " id " +
                      std::to_string(expected.id) + " style " + std::to_string(style);
  CHECK_MSG((style & (WS_CHILD | WS_VISIBLE)) == (WS_CHILD | WS_VISIBLE), where);

  bool enabled = is_push_button(expected.kind) || expected.kind == Kind::kPathEdit ||
                 expected.kind == Kind::kFactorEdit || expected.kind == Kind::kIcon;
  CHECK_MSG(((style & WS_DISABLED) == 0) == enabled, where);
  bool tab_stop = enabled && expected.kind != Kind::kIcon;
  CHECK_MSG(((style & WS_TABSTOP) != 0) == tab_stop, where);

  const LONG kAlign = BS_LEFT | BS_RIGHT | BS_CENTER;
  switch (expected.kind) {
    case Kind::kDefaultButton:
    case Kind::kButton:
    case Kind::kFlatButton: {
      LONG type = style & BS_TYPEMASK;
      // The default look moves with the focus, so only the button type.
      CHECK_MSG(type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON, where);
      CHECK_MSG(((style & BS_FLAT) != 0) == (expected.kind == Kind::kFlatButton), where);
      CHECK_MSG((style & kAlign) == 0, where);
      break;
    }
    case Kind::kGroup:
    case Kind::kGroupLeft:
    case Kind::kGroupCenter:
    case Kind::kGroupRight: {
      CHECK_MSG((style & BS_TYPEMASK) == BS_GROUPBOX, where);
      LONG align = expected.kind == Kind::kGroupLeft     ? BS_LEFT
                   : expected.kind == Kind::kGroupCenter ? BS_CENTER
                   : expected.kind == Kind::kGroupRight  ? BS_RIGHT
                                                         : 0;
      CHECK_MSG((style & kAlign) == align, where);
      break;
    }
    case Kind::kPathEdit:
    case Kind::kFactorEdit: {
      CHECK_MSG((style & ES_MULTILINE) == 0, where);
      CHECK_MSG((style & (ES_CENTER | ES_RIGHT)) == ES_CENTER, where);
      bool path = expected.kind == Kind::kPathEdit;
      CHECK_MSG(((style & ES_AUTOHSCROLL) != 0) == path, where);
      CHECK_MSG(((style & ES_NUMBER) != 0) == !path, where);
      // The dialog manager may turn a plain border into a sunken edge.
      CHECK_MSG((style & WS_BORDER) != 0 || (exstyle & WS_EX_CLIENTEDGE) != 0, where);
      break;
    }
    case Kind::kText:
      CHECK_MSG((style & SS_TYPEMASK) == SS_LEFT, where);
      break;
    case Kind::kLine:
      CHECK_MSG((style & SS_TYPEMASK) == SS_ETCHEDHORZ, where);
      break;
    case Kind::kIcon:
      CHECK_MSG((style & SS_TYPEMASK) == SS_ICON, where);
      break;
  }
}

// Checks the dialog's frame and every control against the template.
void check_layout(HWND dialog, DWORD thread) {
  g_scenario = "layout";
  CHECK_MSG(window_text(dialog) == kTitle, wide_pair(window_text(dialog), kTitle));

  LONG style = GetWindowLongW(dialog, GWL_STYLE);
  LONG exstyle = GetWindowLongW(dialog, GWL_EXSTYLE);
  const LONG kWanted =
      WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_VISIBLE | DS_MODALFRAME;
  CHECK((style & kWanted) == kWanted);
  CHECK((style & (WS_MAXIMIZEBOX | WS_THICKFRAME | WS_DISABLED)) == 0);
  CHECK((exstyle & WS_EX_APPWINDOW) != 0);
  CHECK((exstyle & WS_EX_TOPMOST) != 0);
  CHECK((exstyle & WS_EX_ACCEPTFILES) != 0);
  CHECK(GetMenu(dialog) == nullptr);

  // Dialog units: the client area is 320 by 200 units, which fixes the base
  // units exactly (80 and 25 times them); every control follows from those.
  RECT client;
  GetClientRect(dialog, &client);
  int base_x = client.right / 80;
  int base_y = client.bottom / 25;
  CHECK_MSG(base_x > 0 && client.right == 80 * base_x,
            "client width " + std::to_string(client.right));
  CHECK_MSG(base_y > 0 && client.bottom == 25 * base_y,
            "client height " + std::to_string(client.bottom));

  // Centred on the work area.
  RECT frame;
  GetWindowRect(dialog, &frame);
  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  long dx = (frame.left + frame.right) / 2 - (work.left + work.right) / 2;
  long dy = (frame.top + frame.bottom) / 2 - (work.top + work.bottom) / 2;
  CHECK_MSG(dx >= -2 && dx <= 2 && dy >= -2 && dy <= 2,
            "off centre by " + std::to_string(dx) + "," + std::to_string(dy));

  std::vector<HWND> controls;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    controls.push_back(child);
  }
  const int count = static_cast<int>(sizeof kLayout / sizeof kLayout[0]);
  CHECK_MSG(static_cast<int>(controls.size()) == count,
            number_pair(static_cast<long long>(controls.size()), count));

  for (int i = 0; i < count && i < static_cast<int>(controls.size()); ++i) {
    const ExpectedControl& expected = kLayout[i];
    HWND control = controls[i];
    std::string where = "control #" + std::to_string(i + 1);
    int id = static_cast<int>(static_cast<short>(GetDlgCtrlID(control)));
    CHECK_MSG(id == expected.id, where + ": " + number_pair(id, expected.id));

    std::wstring cls = class_name(control);
    const wchar_t* want_cls =
        (is_push_button(expected.kind) || is_group(expected.kind))                 ? L"Button"
        : (expected.kind == Kind::kPathEdit || expected.kind == Kind::kFactorEdit) ? L"Edit"
                                                                                   : L"Static";
    CHECK_MSG(lstrcmpiW(cls.c_str(), want_cls) == 0, where + ": " + wide_pair(cls, want_cls));

    if (expected.text != nullptr) {
      std::wstring text = window_text(control);
      CHECK_MSG(text == expected.text, where + ": " + wide_pair(text, expected.text));
    }
    check_style(expected, control, i);

    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    auto close_to = [](long got, int want) { return got >= want - 1 && got <= want + 1; };
    int want_left = MulDiv(expected.x, base_x, 4);
    int want_top = MulDiv(expected.y, base_y, 8);
    std::string placed = where + ": at " + std::to_string(r.left) + "," + std::to_string(r.top) +
                         " size " + std::to_string(r.right - r.left) + "x" +
                         std::to_string(r.bottom - r.top) + ", want " + std::to_string(want_left) +
                         "," + std::to_string(want_top);
    CHECK_MSG(close_to(r.left, want_left) && close_to(r.top, want_top), placed);
    if (expected.kind == Kind::kLine) {
      // An etched line keeps its length but takes the edge's own thickness.
      CHECK_MSG(r.right - r.left >= MulDiv(expected.w, base_x, 4) - 1 &&
                    r.right - r.left <= MulDiv(expected.w, base_x, 4) + 3 && r.bottom - r.top <= 3,
                placed);
    } else if (expected.kind == Kind::kIcon) {
      // The icon control takes the icon's own size.
      CHECK_MSG(r.right - r.left == 32 && r.bottom - r.top == 32, placed);
      CHECK(SendMessageW(control, STM_GETICON, 0, 0) != 0);
    } else {
      int want_w = MulDiv(expected.w, base_x, 4);
      int want_h = MulDiv(expected.h, base_y, 8);
      CHECK_MSG(close_to(r.right - r.left, want_w) && close_to(r.bottom - r.top, want_h),
                placed + " size " + std::to_string(want_w) + "x" + std::to_string(want_h));
    }
  }

  // Tab order: template order over the enabled tab stops, starting at the chooser button.
  std::vector<int> tabs;
  HWND first = GetNextDlgTabItem(dialog, nullptr, FALSE);
  for (HWND item = first; item != nullptr && tabs.size() < 40;) {
    tabs.push_back(GetDlgCtrlID(item));
    item = GetNextDlgTabItem(dialog, item, FALSE);
    if (item == first) break;
  }
  std::string order;
  for (int id : tabs) order += std::to_string(id) + " ";
  CHECK_MSG(tabs == std::vector<int>(std::begin(kTabOrder), std::end(kTabOrder)), order);

  // The focus starts on the chooser button, which is the default button.
  GUITHREADINFO gui = {};
  gui.cbSize = sizeof gui;
  CHECK(GetGUIThreadInfo(thread, &gui));
  CHECK_MSG(GetDlgCtrlID(gui.hwndFocus) == IDC_BROWSE, std::to_string(GetDlgCtrlID(gui.hwndFocus)));
  CHECK(LOWORD(SendMessageW(dialog, DM_GETDEFID, 0, 0)) == IDC_BROWSE);
  CHECK((GetWindowLongW(GetDlgItem(dialog, IDC_BROWSE), GWL_STYLE) & BS_TYPEMASK) ==
        BS_DEFPUSHBUTTON);

  // The small window icon shows in the caption: look for the flower there.
  // (Wine answers WM_GETICON only inside the program's own process.)
  POINT origin = {0, 0};
  ClientToScreen(dialog, &origin);
  RECT caption = {frame.left, frame.top, frame.left + 48, origin.y};
  int pink = 0;
  wait_until([&] { return (pink = count_pink(capture(caption))) >= 20; }, kShortWait);
  CHECK_MSG(pink >= 20, "pink pixels in the caption: " + std::to_string(pink));
}

// ---------------------------------------------------------------- resources

std::wstring version_string(const std::vector<char>& block, const wchar_t* key) {
  std::wstring query = std::wstring(L"\\StringFileInfo\\080404b0\\") + key;
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), query.c_str(), &value, &length) || value == nullptr) {
    return L"<missing>";
  }
  return static_cast<const wchar_t*>(value);
}

void check_version_record(const std::wstring& exe) {
  g_scenario = "version record";
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
  if (!CHECK(size > 0)) return;
  std::vector<char> block(size);
  if (!CHECK(GetFileVersionInfoW(exe.c_str(), 0, size, block.data()))) return;

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (CHECK(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length))) {
    CHECK(fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 0x00000001);
    CHECK(fixed->dwProductVersionMS == 0x00010000 && fixed->dwProductVersionLS == 0x00000001);
    CHECK((fixed->dwFileFlags & fixed->dwFileFlagsMask) ==
          (VS_FF_PRIVATEBUILD | VS_FF_SPECIALBUILD));
    CHECK(fixed->dwFileType == VFT_APP);
  }
  WORD* translation = nullptr;
  if (CHECK(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                           reinterpret_cast<void**>(&translation), &length) &&
            length >= 4)) {
    CHECK(translation[0] == 0x0804);  // Chinese (PRC)
    CHECK(translation[1] == 1200);    // Unicode
  }
  struct Key {
    const wchar_t* name;
    const wchar_t* value;
  };
  const Key kKeys[] = {
      {L"FileVersion", L"1, 0, 0, 1"},      {L"ProductVersion", L"1, 0, 0, 1"},
      {L"FileDescription", L"tavo ui"},     {L"InternalName", L"tavoui"},
      {L"OriginalFilename", L"tavoui.EXE"}, {L"ProductName", L"rxende tavo"},
      {L"LegalTrademarks", L"rxende"},      {L"PrivateBuild", L"tavo 0.5beta"},
      {L"SpecialBuild", L"20100530"},       {L"Comments", L"vornic加密解密(程序)"},
  };
  for (const Key& key : kKeys) {
    std::wstring got = version_string(block, key.name);
    CHECK_MSG(got == key.value, utf8(key.name) + ": " + wide_pair(got, key.value));
  }
}

// The application icon: one 32 by 32 image in 32-bit colour, a pink flower on light grey.
void check_icon_resource(const std::wstring& exe) {
  g_scenario = "icon resource";
  HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!CHECK(module != nullptr)) return;
  HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(IDI_APP), MAKEINTRESOURCEW(14));
  if (CHECK(group != nullptr)) {
    const auto* bytes = static_cast<const BYTE*>(LockResource(LoadResource(module, group)));
    // Group icon directory: reserved, type, count, then 14-byte entries.
    WORD count = static_cast<WORD>(bytes[4] | (bytes[5] << 8));
    CHECK(count == 1);
    CHECK(bytes[6] == 32 && bytes[7] == 32);      // width, height
    CHECK((bytes[12] | (bytes[13] << 8)) == 32);  // bits per pixel
  }
  HICON icon =
      static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, 32, 32, 0));
  if (CHECK(icon != nullptr)) {
    ICONINFO info = {};
    GetIconInfo(icon, &info);
    BITMAPINFO format = {};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = 32;
    format.bmiHeader.biHeight = -32;  // top row first
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    std::vector<std::uint32_t> pixels(32 * 32);
    HDC dc = GetDC(nullptr);
    CHECK(GetDIBits(dc, info.hbmColor, 0, 32, pixels.data(), &format, DIB_RGB_COLORS) == 32);
    ReleaseDC(nullptr, dc);
    auto channel = [&](int x, int y, int shift) {
      return static_cast<int>((pixels[y * 32 + x] >> shift) & 0xFF);
    };
    // A corner inside the border: light grey.
    int r = channel(3, 3, 16), g = channel(3, 3, 8), b = channel(3, 3, 0);
    CHECK_MSG(r > 180 && r == g && g == b,
              "corner " + std::to_string(r) + "," + std::to_string(g) + "," + std::to_string(b));
    // The upper petal: pink, red well above green.
    r = channel(16, 9, 16), g = channel(16, 9, 8), b = channel(16, 9, 0);
    CHECK_MSG(r > 200 && g < 160 && b > 120,
              "petal " + std::to_string(r) + "," + std::to_string(g) + "," + std::to_string(b));
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
  }
  FreeLibrary(module);
}

// ---------------------------------------------------------------- files

using Bytes = std::vector<unsigned char>;

Bytes read_file(const std::wstring& path) {
  Bytes bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  unsigned char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  CloseHandle(file);
  return bytes;
}

void write_file(const std::wstring& path, const Bytes& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

// Pseudo-random content from a fixed seed (printed once), so a failure can
// be replayed.
constexpr std::uint32_t kSeed = 20100530;

Bytes sample_bytes(std::size_t size, std::uint32_t salt) {
  std::uint32_t state = kSeed ^ (salt * 2654435761u);
  Bytes bytes(size);
  for (auto& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<unsigned char>(state >> 16);
  }
  return bytes;
}

// The forward transform of each way, written out from its definition.
Bytes transformed(const Bytes& data, int way, int factor) {
  Bytes out(data);
  auto p = static_cast<unsigned char>(factor & 0xFF);
  for (auto& byte : out) {
    switch (way) {
      case 1:
        byte = static_cast<unsigned char>(byte + p);
        break;
      case 2:
        byte = static_cast<unsigned char>(byte - p);
        break;
      case 3:
        byte = static_cast<unsigned char>(byte ^ p);
        break;
      case 4:
        byte = static_cast<unsigned char>(~byte);
        break;
    }
  }
  return out;
}

// ---------------------------------------------------------------- a session

class Session {
 public:
  Session(const std::wstring& exe) : program(exe) {}

  bool open() {
    if (!CHECK(program.started())) return false;
    dialog = program.find_dialog(kLongWait);
    return CHECK_MSG(dialog != nullptr, "no dialog appeared");
  }

  HWND item(int id) const { return GetDlgItem(dialog, id); }

  void set_path(const std::wstring& path) { set_text(item(IDC_PATH), path); }
  void set_factor(const std::wstring& factor) { set_text(item(IDC_FACTOR), factor); }

  // Presses a button the way a mouse click would. Posted, because the
  // handler does not return until its message box is dismissed.
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
const wchar_t kFailure[] = L"出错了";

std::string timing_free(const std::string& text) {
  // "use time: < Ns" with N of 1 or more: the value depends on the clock.
  std::string out = text;
  std::size_t at = out.find("use time: < ");
  if (at != std::string::npos) {
    std::size_t digits = at + 12;
    std::size_t end = out.find('s', digits);
    if (end != std::string::npos && end > digits) out.replace(digits, end - digits, "N");
  }
  return out;
}

// One press that should run the engine: the box text and the console text
// (with the timing value replaced by N).
void press_and_expect(Session& s, int id, const std::wstring& box, const std::string& console) {
  std::size_t mark = s.program.output().size();
  s.click(id);
  const wchar_t* icon = box == kSuccess ? IDI_INFORMATION : IDI_EXCLAMATION;
  CHECK_MSG(s.expect_box(box, kResultCaption, icon), "button " + std::to_string(id));
  s.program.wait_for_output(mark, console.substr(console.size() - 3), kLongWait);
  std::string got = timing_free(s.program.output_since(mark));
  CHECK_MSG(got == console, "button " + std::to_string(id) + ": got \"" + visible(got) +
                                "\", want \"" + visible(console) + "\"");
}

struct WayRow {
  int way;
  int en, de, rxen, rxde;
  const wchar_t* factor;
  int factor_value;
};

const WayRow kRows[] = {
    {4, IDC_WAY4_EN, IDC_WAY4_DE, IDC_WAY4_RXEN, IDC_WAY4_RXDE, L"7", 7},
    {3, IDC_WAY3_EN, IDC_WAY3_DE, IDC_WAY3_RXEN, IDC_WAY3_RXDE, L"42", 42},
    {2, IDC_WAY2_EN, IDC_WAY2_DE, IDC_WAY2_RXEN, IDC_WAY2_RXDE, L"200", 200},
    {1, IDC_WAY1_EN, IDC_WAY1_DE, IDC_WAY1_RXEN, IDC_WAY1_RXDE, L"13", 13},
};

void check_operations(Session& s, const std::wstring& folder) {
  for (const WayRow& row : kRows) {
    g_scenario = "operations";
    std::wstring name = L"way" + std::to_wstring(row.way) + L".bin";
    std::wstring path = folder + name;
    std::string p = ansi(path);
    std::string w = std::to_string(row.way);
    Bytes original = sample_bytes(1000, static_cast<std::uint32_t>(row.way));
    write_file(path, original);
    s.set_path(path);
    s.set_factor(row.factor);

    // Encrypt with header: data transformed, 512-byte header appended.
    press_and_expect(s, row.en, kSuccess,
                     "tavo\r\ntavo en file(" + p + ") ok.\r\nuse time: < Ns\r\n");
    Bytes after = read_file(path);
    Bytes want = transformed(original, row.way, row.factor_value);
    CHECK_MSG(after.size() == 1512, "way " + w + " size " + std::to_string(after.size()));
    CHECK_MSG(after.size() >= 1000 && Bytes(after.begin(), after.begin() + 1000) == want,
              "way " + w + " en data");

    // Peek: the recorded name, way and factor (hex); the checksum varies.
    std::size_t mark = s.program.output().size();
    s.click(IDC_PEEK);
    CHECK(s.expect_box(kSuccess, kResultCaption, IDI_INFORMATION));
    char tail[64];
    std::snprintf(tail, sizeof tail, " t a %s %d %x v o\r\n", ansi(name).c_str(), row.way,
                  row.factor_value);
    s.program.wait_for_output(mark, tail, kLongWait);
    std::string peek = s.program.output_since(mark);
    CHECK_MSG(peek.rfind("tavo\r\ntavo: ", 0) == 0 && peek.size() > std::strlen(tail) &&
                  peek.compare(peek.size() - std::strlen(tail), std::string::npos, tail) == 0,
              "peek: \"" + visible(peek) + "\"");

    // Decrypt with header: the original back, header cut off.
    press_and_expect(s, row.de, kSuccess,
                     "tavo\r\ntavo de file(" + p + ") ok.\r\nuse time: < Ns\r\n");
    CHECK_MSG(read_file(path) == original, "way " + w + " de");

    // Without header.
    press_and_expect(s, row.rxen, kSuccess,
                     "tavo\r\ntavo rxen file(" + p + ") ok.\r\nuse time: < Ns\r\n");
    CHECK_MSG(read_file(path) == want, "way " + w + " rxen");
    press_and_expect(s, row.rxde, kSuccess,
                     "tavo\r\ntavo rxde file(" + p + ") ok.\r\nuse time: < Ns\r\n");
    CHECK_MSG(read_file(path) == original, "way " + w + " rxde");
  }
}

void check_failures(Session& s, const std::wstring& folder) {
  g_scenario = "failures";
  std::wstring path = folder + L"plain.bin";
  std::string p = ansi(path);
  Bytes original = sample_bytes(700, 9);
  write_file(path, original);
  s.set_path(path);

  // No header to peek at.
  press_and_expect(s, IDC_PEEK, kFailure, "tavo\r\nunknown tavo?file?\r\n");
  // Way 4 ignores the factor, but "de" compares the recorded one.
  s.set_factor(L"7");
  press_and_expect(s, IDC_WAY4_EN, kSuccess,
                   "tavo\r\ntavo en file(" + p + ") ok.\r\nuse time: < Ns\r\n");
  Bytes encrypted = read_file(path);
  s.set_factor(L"8");
  press_and_expect(s, IDC_WAY4_DE, kFailure,
                   "tavo\r\ntavo de file(" + p + ") p!=p\r\nuse time: < Ns\r\n");
  CHECK(read_file(path) == encrypted);

  // A directory exists, so the engine runs and fails to open it.
  std::wstring directory = folder + L"a_folder";
  CreateDirectoryW(directory.c_str(), nullptr);
  s.set_path(directory);
  press_and_expect(s, IDC_WAY1_RXEN, kFailure, "tavo\r\nuse time: < Ns\r\n");

  g_scenario = "silent existence test";
  for (const std::wstring& missing : {folder + L"no_such_file.bin", std::wstring()}) {
    s.set_path(missing);
    std::size_t mark = s.program.output().size();
    for (int id : {IDC_WAY4_EN, IDC_WAY1_RXEN, IDC_PEEK}) {
      s.click(id);
      CHECK_MSG(s.expect_no_window(),
                "button " + std::to_string(id) + " on \"" + utf8(missing) + "\" showed a window");
    }
    CHECK_MSG(s.program.output_since(mark).empty(), visible(s.program.output_since(mark)));
  }

  g_scenario = "empty factor";
  std::wstring one = folder + L"one.bin";
  Bytes data = sample_bytes(300, 11);
  write_file(one, data);
  s.set_path(one);
  s.set_factor(L"");
  press_and_expect(s, IDC_WAY1_RXEN, kSuccess,
                   "tavo\r\ntavo rxen file(" + ansi(one) + ") ok.\r\nuse time: < Ns\r\n");
  CHECK_MSG(read_file(one) == transformed(data, 1, 1), "empty factor runs with factor 1");
}

void check_usage(Session& s) {
  g_scenario = "usage";
  std::size_t mark = s.program.output().size();
  s.click(IDC_USAGE);
  const std::string want =
      "usage: rxende filename [en|de|rxen|rxde|] x p\r\n"
      "x=(4,3,2,1)\r\n"
      "p=(1-255)\r\n"
      "[en|de]encryption or decryption add header or remove header\r\n"
      "[rxen|rxde]encryption or decryption rude and not add or remove header or flag\r\n";
  s.program.wait_for_output(mark, "flag\r\n", kLongWait);
  CHECK(s.expect_no_window());
  std::string got = s.program.output_since(mark);
  CHECK_MSG(got == want, "got \"" + visible(got) + "\"");
}

// Escape and the OK command are ignored; Enter in a field presses the chooser button.
void check_keys(Session& s) {
  g_scenario = "keys";
  std::size_t mark = s.program.output().size();
  PostMessageW(s.item(IDC_FACTOR), WM_KEYDOWN, VK_ESCAPE, 0);
  PostMessageW(s.item(IDC_FACTOR), WM_KEYUP, VK_ESCAPE, 0);
  PostMessageW(s.dialog, WM_COMMAND, IDCANCEL, 0);
  PostMessageW(s.dialog, WM_COMMAND, IDOK, 0);
  CHECK(s.expect_no_window());
  CHECK(IsWindow(s.dialog) && IsWindowVisible(s.dialog));
  CHECK(s.program.output_since(mark).empty());

  for (int field : {IDC_PATH, IDC_FACTOR}) {
    PostMessageW(s.item(field), WM_KEYDOWN, VK_RETURN, 0);
    PostMessageW(s.item(field), WM_KEYUP, VK_RETURN, 0);
    HWND chooser = s.wait_owned(kLongWait);
    CHECK_MSG(chooser != nullptr && !is_message_box(chooser),
              "Enter in field " + std::to_string(field) + " did not open the chooser");
    if (chooser != nullptr) {
      PostMessageW(chooser, WM_COMMAND, IDCANCEL, 0);
      CHECK(wait_until([&] { return !IsWindow(chooser); }, kLongWait));
    }
  }
  CHECK(IsWindow(s.dialog));
}

void type_text(HWND field, const std::wstring& text) {
  for (wchar_t c : text) PostMessageW(field, WM_CHAR, c, 1);
}

// Typing: the factor field takes digits only and stops when it is full; the
// path field scrolls and keeps a path of any length.
void check_typing(Session& s) {
  g_scenario = "typing";
  HWND factor = s.item(IDC_FACTOR);
  s.set_factor(L"");
  type_text(factor, L"a4 -2+x");
  CHECK_MSG(wait_until([&] { return window_text(factor) == L"42"; }, kLongWait),
            utf8(window_text(factor)));
  s.set_factor(L"");
  type_text(factor, std::wstring(60, L'9'));
  type_text(factor, L"1");  // refused too, once the field is full
  // A sent WM_GETTEXT overtakes posted characters: wait until the text settles.
  std::wstring typed;
  wait_until(
      [&] {
        typed = window_text(factor);
        Sleep(300);
        return !typed.empty() && typed == window_text(factor);
      },
      kLongWait);
  CHECK_MSG(typed.size() < 30 && typed.find_first_not_of(L'9') == std::wstring::npos,
            "the factor field took \"" + utf8(typed) + "\"");

  HWND path = s.item(IDC_PATH);
  std::wstring long_path =
      L"C:\\" + std::wstring(120, L'a') + L"\\" + std::wstring(150, L'b') + L".bin";
  s.set_path(L"");
  type_text(path, long_path);
  CHECK_MSG(wait_until([&] { return window_text(path) == long_path; }, kLongWait),
            "path field holds " + std::to_string(window_text(path).size()) + " characters");
  s.set_path(L"");
}

// The filename box of the chooser: an edit, or the edit inside a combo box.
HWND chooser_name_field(HWND chooser) {
  HWND edit = GetDlgItem(chooser, edt1);
  if (edit != nullptr) return edit;
  // Explorer style: an extended combo box holding a combo box holding the edit.
  HWND outer = GetDlgItem(chooser, cmb13);
  for (HWND inner = outer; inner != nullptr;) {
    HWND found = FindWindowExW(inner, nullptr, L"Edit", nullptr);
    if (found != nullptr) return found;
    inner = FindWindowExW(inner, nullptr, L"ComboBox", nullptr);
  }
  return nullptr;
}

void check_chooser(Session& s, const std::wstring& folder) {
  g_scenario = "chooser";
  std::wstring kept = folder + L"kept.bin";
  s.set_path(kept);
  std::size_t mark = s.program.output().size();

  // Cancel keeps the field.
  s.click(IDC_BROWSE);
  HWND chooser = s.wait_owned(kLongWait);
  if (!CHECK_MSG(chooser != nullptr, "no chooser")) return;
  // No read-only option and no file-type filter.
  HWND read_only = GetDlgItem(chooser, chx1);
  CHECK(read_only == nullptr || !IsWindowVisible(read_only));
  HWND types = GetDlgItem(chooser, cmb1);
  CHECK(types == nullptr || SendMessageW(types, CB_GETCOUNT, 0, 0) <= 0);
  PostMessageW(chooser, WM_COMMAND, IDCANCEL, 0);
  CHECK(wait_until([&] { return !IsWindow(chooser); }, kLongWait));
  CHECK(window_text(s.item(IDC_PATH)) == kept);

  // A typed name replaces the field with its full path; it need not exist.
  Bytes data = sample_bytes(10, 3);
  std::wstring existing = folder + L"chosen.bin";
  write_file(existing, data);
  for (const std::wstring& name : {existing, folder + L"not_yet_there.bin"}) {
    s.click(IDC_BROWSE);
    chooser = s.wait_owned(kLongWait);
    if (!CHECK_MSG(chooser != nullptr, "no chooser")) return;
    HWND field = chooser_name_field(chooser);
    if (!CHECK_MSG(field != nullptr, "no file name field in the chooser")) {
      PostMessageW(chooser, WM_COMMAND, IDCANCEL, 0);
      return;
    }
    set_text(field, name);
    PostMessageW(chooser, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(chooser, IDOK)));
    CHECK_MSG(wait_until([&] { return !IsWindow(chooser); }, kLongWait),
              "the chooser did not close on " + utf8(name));
    std::wstring got = window_text(s.item(IDC_PATH));
    CHECK_MSG(lstrcmpiW(got.c_str(), name.c_str()) == 0, wide_pair(got, name));
  }
  CHECK(s.program.output_since(mark).empty());
  CHECK(read_file(existing) == data);
}

// A file dropped from the file manager: the first path goes into the field.
// The drop handle is built inside the program's own memory, as the shell
// would hand it over.
void check_drop(Session& s, const std::wstring& folder, HANDLE process) {
  g_scenario = "drop";
  std::wstring first = folder + L"dropped one.bin";
  std::wstring second = folder + L"dropped two.bin";
  std::vector<char> block(sizeof(DROPFILES));
  auto* header = reinterpret_cast<DROPFILES*>(block.data());
  header->pFiles = sizeof(DROPFILES);
  header->fWide = TRUE;
  for (const std::wstring& name : {first, second}) {
    const char* bytes = reinterpret_cast<const char*>(name.c_str());
    block.insert(block.end(), bytes, bytes + (name.size() + 1) * sizeof(wchar_t));
  }
  block.insert(block.end(), sizeof(wchar_t), '\0');
  void* remote =
      VirtualAllocEx(process, nullptr, block.size(), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (!CHECK(remote != nullptr)) return;
  CHECK(WriteProcessMemory(process, remote, block.data(), block.size(), nullptr));
  s.set_path(L"before the drop");
  std::size_t mark = s.program.output().size();
  PostMessageW(s.dialog, WM_DROPFILES, reinterpret_cast<WPARAM>(remote), 0);
  CHECK_MSG(wait_until([&] { return window_text(s.item(IDC_PATH)) == first; }, kLongWait),
            wide_pair(window_text(s.item(IDC_PATH)), first));
  CHECK(s.expect_no_window());
  CHECK(s.program.output_since(mark).empty());
}

// The close box checks the factor field; a whole number lets it close.
void check_close(Session& s) {
  g_scenario = "close";
  for (const wchar_t* bad : {L"", L"abc", L"12x"}) {
    s.set_factor(bad);
    PostMessageW(s.dialog, WM_CLOSE, 0, 0);
    CHECK_MSG(s.expect_box(L"请键入一个整数。", L"tavoui", IDI_EXCLAMATION),
              "factor \"" + utf8(bad) + "\"");
    CHECK(IsWindow(s.dialog));
    // Focus and the whole text selected in the factor field.
    GUITHREADINFO gui = {};
    gui.cbSize = sizeof gui;
    CHECK(wait_until(
        [&] {
          return GetGUIThreadInfo(s.program.thread(), &gui) && gui.hwndFocus == s.item(IDC_FACTOR);
        },
        kLongWait));
    DWORD from = 1, to = 0;
    SendMessageW(s.item(IDC_FACTOR), EM_GETSEL, reinterpret_cast<WPARAM>(&from),
                 reinterpret_cast<LPARAM>(&to));
    CHECK_MSG(from == 0 && to == std::wcslen(bad),
              "selection " + std::to_string(from) + "-" + std::to_string(to));
  }
  s.set_factor(L"999");
  PostMessageW(s.dialog, WM_CLOSE, 0, 0);
  DWORD code = 12345;
  CHECK_MSG(s.program.exited(kLongWait, code), "the dialog did not close on 999");
  CHECK(code == 0);
  CHECK(!IsWindow(s.dialog));
}

// Start-up: the banner comes first, the factor field holds 1 to 255 and the
// path field is empty.
void check_start(Session& s) {
  g_scenario = "start";
  const std::string banner =
      "vornic encryption and decryption\r\ntavo 0.5beta version http://www.example.com/tavo\r\n";
  s.program.wait_for_output(0, banner, kLongWait);
  CHECK_MSG(s.program.output() == banner, visible(s.program.output()));
  std::wstring factor = window_text(s.item(IDC_FACTOR));
  int value = _wtoi(factor.c_str());
  CHECK_MSG(value >= 1 && value <= 255 && std::to_wstring(value) == factor, utf8(factor));
  CHECK(window_text(s.item(IDC_PATH)).empty());
}

// What Wine answers only inside the program's own process: the window icons
// and the drag image. The same dialog class runs here on a thread of the
// driver, built from the same resources.
DWORD WINAPI run_dialog_here(void*) {
  static const std::wstring kName = L"driver";
  tavo::dialog::MainDialog dialog(kName);
  dialog.run(nullptr);
  return 0;
}

void check_in_process() {
  g_scenario = "in process";
  HANDLE thread = CreateThread(nullptr, 0, &run_dialog_here, nullptr, 0, nullptr);
  if (!CHECK(thread != nullptr)) return;
  HWND dialog = nullptr;
  wait_until(
      [&] {
        std::vector<HWND> found = dialogs_of_thread(GetThreadId(thread));
        dialog = found.empty() ? nullptr : found.front();
        return dialog != nullptr;
      },
      kLongWait);
  if (CHECK_MSG(dialog != nullptr, "no dialog on the thread")) {
    auto icon =
        reinterpret_cast<LRESULT>(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP)));
    CHECK(icon != 0);
    CHECK(SendMessageW(dialog, WM_GETICON, ICON_BIG, 0) == icon);
    CHECK(SendMessageW(dialog, WM_GETICON, ICON_SMALL, 0) == icon);
    CHECK(SendMessageW(dialog, WM_QUERYDRAGICON, 0, 0) == icon);
    set_text(GetDlgItem(dialog, IDC_FACTOR), L"5");
    PostMessageW(dialog, WM_CLOSE, 0, 0);
  }
  CHECK_MSG(WaitForSingleObject(thread, kLongWait) == WAIT_OBJECT_0, "the dialog did not close");
  CloseHandle(thread);
}

std::wstring make_scratch_folder() {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  std::wstring folder =
      std::wstring(temp) + L"tavoui-driver-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

void remove_folder(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring path = folder + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(path.c_str());
      } else {
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(folder.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::printf("usage: tavo_dialog_driver PATH\\TO\\tavoui.exe\n");
    return 2;
  }
  DWORD start = GetTickCount();
  std::wstring exe = argv[1];
  std::wstring folder = make_scratch_folder();
  std::printf("tavoui driver: %s, scratch %s, data seed %u\n", utf8(exe).c_str(),
              utf8(folder).c_str(), kSeed);

  check_version_record(exe);
  check_icon_resource(exe);
  {
    Session s(exe);
    if (s.open()) {
      check_start(s);
      check_layout(s.dialog, s.program.thread());
      check_operations(s, folder);
      check_failures(s, folder);
      check_usage(s);
      check_keys(s);
      check_typing(s);
      check_chooser(s, folder);
      check_drop(s, folder, s.program.process());
      check_close(s);
    }
  }
  check_in_process();
  remove_folder(folder);
  std::printf("tavoui driver: %d checks, %d failed, %.1f s\n", g_checks, g_failures,
              (GetTickCount() - start) / 1000.0);
  return g_failures == 0 ? 0 : 1;
}
