#include "harness.h"

#include <commdlg.h>
#include <dlgs.h>

#include <cstdio>
#include <cstdlib>

#include "main_dialog.h"

namespace tavo::driver {

int g_checks = 0;
int g_failures = 0;
const char* g_scenario = "";

namespace {

std::string narrow(const std::wstring& text, UINT code_page) {
  if (text.empty()) return std::string();
  const int length = static_cast<int>(text.size());
  // '?', never a look-alike letter, for what a code page lacks; UTF-8 takes
  // neither the flag nor a default character.
  const bool utf8 = code_page == CP_UTF8;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* fallback = utf8 ? nullptr : "?";
  const int size =
      WideCharToMultiByte(code_page, flags, text.data(), length, nullptr, 0, fallback, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(code_page, flags, text.data(), length, bytes.data(), size, fallback, nullptr);
  return bytes;
}

}  // namespace

std::string utf8(const std::wstring& text) { return narrow(text, CP_UTF8); }
std::string ansi(const std::wstring& text) { return narrow(text, CP_ACP); }

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

std::string wide_pair(const std::wstring& got, const std::wstring& want) {
  return "got \"" + utf8(got) + "\", want \"" + utf8(want) + "\"";
}

std::string number_pair(long long got, long long want) {
  return "got " + std::to_string(got) + ", want " + std::to_string(want);
}

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

namespace {

struct ThreadWindows {
  DWORD thread;
  std::vector<HWND> found;
};

BOOL CALLBACK collect_dialog(HWND window, LPARAM context) {
  auto* list = reinterpret_cast<ThreadWindows*>(context);
  if (IsWindowVisible(window) && class_name(window) == L"#32770") list->found.push_back(window);
  return TRUE;
}

}  // namespace

std::vector<HWND> dialogs_of_thread(DWORD thread) {
  ThreadWindows windows{thread, {}};
  EnumThreadWindows(thread, &collect_dialog, reinterpret_cast<LPARAM>(&windows));
  return windows.found;
}

HWND owned_window(DWORD thread, HWND owner) {
  for (HWND window : dialogs_of_thread(thread)) {
    if (window != owner && GetWindow(window, GW_OWNER) == owner && !is_progress_window(window)) {
      return window;
    }
  }
  return nullptr;
}

HWND progress_window(DWORD thread, HWND owner) {
  for (HWND window : dialogs_of_thread(thread)) {
    if (GetWindow(window, GW_OWNER) == owner && is_progress_window(window)) return window;
  }
  return nullptr;
}

bool is_progress_window(HWND window) { return GetDlgItem(window, IDC_PROGRESS_BAR) != nullptr; }

bool is_message_box(HWND window) {
  return GetDlgItem(window, 0xFFFF) != nullptr && GetDlgItem(window, IDOK) != nullptr &&
         GetDlgItem(window, edt1) == nullptr && GetDlgItem(window, cmb13) == nullptr;
}

// ---------------------------------------------------------------- screen

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

// ---------------------------------------------------------------- files

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

Bytes sample_bytes(std::size_t size, std::uint32_t salt) {
  std::uint32_t state = kSeed ^ (salt * 2654435761u);
  Bytes bytes(size);
  for (auto& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<unsigned char>(state >> 16);
  }
  return bytes;
}

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

// ---------------------------------------------------------------- console text

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

// ---------------------------------------------------------------- scratch folder

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

}  // namespace tavo::driver
