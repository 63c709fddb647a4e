// Drives the real tavoui.exe from outside, the way a user would: starts it
// with its console output captured, checks the dialog it shows control by
// control, fills the fields, presses the buttons, reads and dismisses the
// message boxes, and checks the console lines and the files on disk.
//
// usage: tavo_dialog_driver PATH\TO\tavoui.exe [long]
// Needs a display (Xvfb under Wine). Prints one line per check that fails
// and a summary; exits with 1 if any check failed.

// The harness first: it brings <windows.h>, which the other Win32 headers need.
// clang-format off
#include "harness.h"
// clang-format on

#include <commctrl.h>
#include <commdlg.h>
#include <dlgs.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "main_dialog.h"
#include "resource.h"

namespace tavo::driver {
namespace {

// ---------------------------------------------------------------- languages

// What the dialog says in the display language, which Wine takes from the
// locale: the result boxes' caption and texts (the reasons of a failure
// follow `failed_because`; nullptr: not shown), the close check's text, the
// progress window's button, and the beginnings (ways 4 to 1) and ends (en,
// de, rxen, rxde) of the buttons' names.
// clang-format off
struct Texts {
  const wchar_t *caption, *done, *failed, *failed_because, *cancelled, *not_a_number, *cancel;
  const wchar_t *ways[4], *actions[4], *counts, *left, *file_of;  // the last three: many files
};
const Texts kChinese = {L"请查看控制台提示", L"成功", L"出错了", nullptr, L"已取消", L"请键入一个整数。", L"取消",
    {L"反向：", L"异或：", L"2#减法：", L"1#加法："}, {L"加密", L"解密", L"暴力加密（无加密头）", L"暴力解密（无加密头）"},
    L"完成 %d 个，跳过 %d 个，失败 %d 个。", L"%d 个文件未处理（共 %d 个）。", L"第 %d 个文件，共 %d 个"};
const Texts kEnglish = {L"tavoui", L"Done. The console window lists what was done.",
    L"Failed. The console window tells why.", L"Failed.\n\n", L"Cancelled. The file is back as it was.",
    L"Please type a whole number.", L"Cancel", {L"NOT: ", L"XOR: ", L"Subtract: ", L"Add: "},
    {L"encrypt", L"decrypt", L"encrypt without record", L"decrypt without record"},
    L"%d done, %d skipped, %d failed.", L"%d of %d files were not done.", L"File %d of %d"};
// clang-format on
const Texts* g_texts = &kChinese;

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

void check_tab_order(HWND dialog, const std::vector<int>& want) {
  std::vector<int> tabs;
  HWND first = GetNextDlgTabItem(dialog, nullptr, FALSE);
  for (HWND item = first; item != nullptr && tabs.size() < 40;) {
    tabs.push_back(GetDlgCtrlID(item));
    item = GetNextDlgTabItem(dialog, item, FALSE);
    if (item == first) break;
  }
  std::string order;
  for (int id : tabs) order += std::to_string(id) + " ";
  CHECK_MSG(tabs == want, order);
}

// The English template: its texts, mnemonics that reach their controls, and
// a tab order from top to bottom.
void check_english_layout(Session& s) {
  g_scenario = "English layout";
  const std::wstring title = L"tavoui - encrypt and decrypt files - http://www.example.com/tavo";
  CHECK_MSG(window_text(s.dialog) == title, wide_pair(window_text(s.dialog), title));
  const wchar_t* kActions[] = {L"Encrypt", L"Decrypt", L"Encrypt, no record",
                               L"Decrypt, no record"};
  for (int i = 0; i < tavo::dialog::kOperationCount; ++i) {
    std::wstring got = window_text(s.item(tavo::dialog::kOperations[i].control_id));
    CHECK_MSG(got == kActions[i % 4], wide_pair(got, kActions[i % 4]));
  }
  CHECK(window_text(s.item(IDC_BROWSE)) == L"&Browse...");
  std::vector<int> order = {IDC_PATH, IDC_BROWSE, IDC_FACTOR, IDC_PEEK, IDC_USAGE};
  for (const auto& operation : tavo::dialog::kOperations) order.push_back(operation.control_id);
  check_tab_order(s.dialog, order);
  for (auto [key, id] : {std::pair{L'3', IDC_WAY3_EN}, {L'a', IDC_FACTOR}, {L'f', IDC_PATH}}) {
    PostMessageW(s.item(IDC_BROWSE), WM_SYSCHAR, key, 1 << 29);
    GUITHREADINFO gui = {sizeof gui, 0, {}, {}, {}, {}, {}, {}, {}};
    auto focused = [&] {
      return GetGUIThreadInfo(s.program.thread(), &gui) && gui.hwndFocus == s.item(id);
    };
    CHECK_MSG(wait_until(focused, kLongWait), "Alt+" + utf8({key}));
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
  check_tab_order(dialog, std::vector<int>(std::begin(kTabOrder), std::end(kTabOrder)));

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

// ---------------------------------------------------------------- presses

// Which box a press ends with; box_text() gives its text in the dialog's language.
const wchar_t kSuccess[] = L"done";
const wchar_t kFailure[] = L"failed";
const wchar_t kCancelled[] = L"cancelled";

std::wstring box_text(const wchar_t* box, const std::wstring& reason) {
  if (box == kSuccess) return g_texts->done;
  if (box == kCancelled) return g_texts->cancelled;
  if (g_texts->failed_because == nullptr || reason.empty()) return g_texts->failed;
  return g_texts->failed_because + reason;
}

// What a file in the scratch folder is before a press.
enum Before {
  kKept,     // as the rows before left it
  kFresh,    // written anew with `size` sample bytes
  kFolder,   // a folder of that name
  kMissing,  // nothing of that name
};

// What the file holds after a press: the bytes it was written with,
// transformed by `way` and `factor` (way 0: unchanged), and a 512-byte
// record after them or not. A negative way: the file is not looked at.
struct After {
  int way;
  int factor;
  bool record;
};

constexpr After kPlain{0, 0, false};
constexpr After kNotLookedAt{-1, 0, false};

// One press of a button with the path field naming `file` in the scratch
// folder (an empty name leaves the field empty). `console` is the whole
// console text the press adds, with "{path}" and "{name}" for the file's path
// and name, "*" for any run of characters, and N for the timing value. A
// null `box`: no window and no console text at all. A file in double quotes
// is typed with them. A failure's box names the `reason`, with "{path}".
struct Press {
  const wchar_t* file;
  Before before;
  int size;
  const wchar_t* factor;  // typed first; nullptr leaves the field as it is
  int button;
  const wchar_t* box;
  const char* console;
  After after;
  const wchar_t* reason = nullptr;
};

#define OK_LINES(keyword) "tavo\r\ntavo " keyword " file({path}) ok.\r\nuse time: < Ns\r\n"
#define PEEK_LINES(way_and_factor) "tavo\r\ntavo: * t a {name} " way_and_factor " v o\r\n"
const char kFactorMismatch[] = "tavo\r\ntavo de file({path}) p!=p\r\nuse time: < Ns\r\n";
const char kNoRecord[] = "tavo\r\nunknown tavo?file?\r\n";

const wchar_t kUnicodeName[] = L"\x043E\x0442\x0447\x0451\x0442 \x6587\x4EF6 caf\xE9.bin";
// Five folders of 60 characters: over 300 with the scratch folder.
#define LONG_FOLDER L"\x957F folder ffffffffffffffffffffffffffffffffffffffffffffffff\\"
const wchar_t kLongName[] =
    LONG_FOLDER LONG_FOLDER LONG_FOLDER LONG_FOLDER LONG_FOLDER L"\x6587\x4EF6 long.bin";

const Press kPresses[] = {
    // Each way: en, peek (the factor in hex), de, rxen, rxde.
    {L"way4.bin", kFresh, 1000, L"7", IDC_WAY4_EN, kSuccess, OK_LINES("en"), {4, 7, true}},
    {L"way4.bin", kKept, 0, nullptr, IDC_PEEK, kSuccess, PEEK_LINES("4 7"), {4, 7, true}},
    {L"way4.bin", kKept, 0, nullptr, IDC_WAY4_DE, kSuccess, OK_LINES("de"), kPlain},
    {L"way4.bin", kKept, 0, nullptr, IDC_WAY4_RXEN, kSuccess, OK_LINES("rxen"), {4, 7, false}},
    {L"way4.bin", kKept, 0, nullptr, IDC_WAY4_RXDE, kSuccess, OK_LINES("rxde"), kPlain},
    {L"way3.bin", kFresh, 1000, L"42", IDC_WAY3_EN, kSuccess, OK_LINES("en"), {3, 42, true}},
    {L"way3.bin", kKept, 0, nullptr, IDC_PEEK, kSuccess, PEEK_LINES("3 2a"), {3, 42, true}},
    {L"way3.bin", kKept, 0, nullptr, IDC_WAY3_DE, kSuccess, OK_LINES("de"), kPlain},
    {L"way3.bin", kKept, 0, nullptr, IDC_WAY3_RXEN, kSuccess, OK_LINES("rxen"), {3, 42, false}},
    {L"way3.bin", kKept, 0, nullptr, IDC_WAY3_RXDE, kSuccess, OK_LINES("rxde"), kPlain},
    {L"way2.bin", kFresh, 1000, L"200", IDC_WAY2_EN, kSuccess, OK_LINES("en"), {2, 200, true}},
    {L"way2.bin", kKept, 0, nullptr, IDC_PEEK, kSuccess, PEEK_LINES("2 c8"), {2, 200, true}},
    {L"way2.bin", kKept, 0, nullptr, IDC_WAY2_DE, kSuccess, OK_LINES("de"), kPlain},
    {L"way2.bin", kKept, 0, nullptr, IDC_WAY2_RXEN, kSuccess, OK_LINES("rxen"), {2, 200, false}},
    {L"way2.bin", kKept, 0, nullptr, IDC_WAY2_RXDE, kSuccess, OK_LINES("rxde"), kPlain},
    {L"way1.bin", kFresh, 1000, L"13", IDC_WAY1_EN, kSuccess, OK_LINES("en"), {1, 13, true}},
    {L"way1.bin", kKept, 0, nullptr, IDC_PEEK, kSuccess, PEEK_LINES("1 d"), {1, 13, true}},
    {L"way1.bin", kKept, 0, nullptr, IDC_WAY1_DE, kSuccess, OK_LINES("de"), kPlain},
    {L"way1.bin", kKept, 0, nullptr, IDC_WAY1_RXEN, kSuccess, OK_LINES("rxen"), {1, 13, false}},
    {L"way1.bin", kKept, 0, nullptr, IDC_WAY1_RXDE, kSuccess, OK_LINES("rxde"), kPlain},
    // No record to peek at.
    {L"plain.bin", kFresh, 700, nullptr, IDC_PEEK, kFailure, "tavo\r\nunknown tavo?file?\r\n",
     kPlain, L"{path}: no valid record at its end"},
    // Way 4 ignores the factor, but "de" compares the recorded one.
    {L"plain.bin", kKept, 0, L"7", IDC_WAY4_EN, kSuccess, OK_LINES("en"), {4, 7, true}},
    // clang-format off
    {L"plain.bin", kKept, 0, L"8", IDC_WAY4_DE, kFailure, kFactorMismatch, {4, 7, true},
     L"{path}: the factor differs from the one in its record "
     L"(it holds 7, which the peek shows in hexadecimal: 7)"},
    // clang-format on
    // A folder means its files, which a button without a record refuses.
    {L"a_folder", kFolder, 0, nullptr, IDC_WAY1_RXEN, kFailure, "tavo\r\n", kNotLookedAt,
     L"rxen runs on one file at a time: nothing in a file tells whether rxen already ran on it, "
     L"so a run over many files that stopped could not be resumed safely (en and de can)"},
    // The dialog's own existence test: nothing runs, nothing shows.
    {L"no_such_file.bin", kMissing, 0, nullptr, IDC_WAY4_EN, nullptr, "", kNotLookedAt},
    {L"no_such_file.bin", kMissing, 0, nullptr, IDC_WAY1_RXEN, nullptr, "", kNotLookedAt},
    {L"no_such_file.bin", kMissing, 0, nullptr, IDC_PEEK, nullptr, "", kNotLookedAt},
    {L"", kMissing, 0, nullptr, IDC_WAY4_EN, nullptr, "", kNotLookedAt},
    {L"", kMissing, 0, nullptr, IDC_WAY1_RXEN, nullptr, "", kNotLookedAt},
    {L"", kMissing, 0, nullptr, IDC_PEEK, nullptr, "", kNotLookedAt},
    // An empty factor field runs with factor 1.
    {L"one.bin", kFresh, 300, L"", IDC_WAY1_RXEN, kSuccess, OK_LINES("rxen"), {1, 1, false}},
    // A path as "Copy as path" gives it, in double quotes.
    // clang-format off
    {L"\"in quotes.bin\"", kFresh, 300, L"9", IDC_WAY3_RXEN, kSuccess, OK_LINES("rxen"), {3, 9, false}},
    // clang-format on
    // A name code page 1252 cannot write: '?' in the record and on the pipe.
    {kUnicodeName, kFresh, 800, L"42", IDC_WAY3_EN, kSuccess, OK_LINES("en"), {3, 42, true}},
    {kUnicodeName, kKept, 0, nullptr, IDC_PEEK, kSuccess, PEEK_LINES("3 2a"), {3, 42, true}},
    {kUnicodeName, kKept, 0, nullptr, IDC_WAY3_DE, kSuccess, OK_LINES("de"), kPlain},
    // A path past MAX_PATH.
    {kLongName, kFresh, 800, nullptr, IDC_WAY3_RXEN, kSuccess, OK_LINES("rxen"), {3, 42, false}},
    {kLongName, kKept, 0, nullptr, IDC_WAY3_RXDE, kSuccess, OK_LINES("rxde"), kPlain},
    // Code page 1252 would make "Lodz.txt" of "Łodz.txt" by best fit: only
    // the named file may change, and a missing one runs nothing.
    {L"Lodz.txt", kFresh, 600, nullptr, IDC_PEEK, kFailure, kNoRecord, kPlain,
     L"{path}: no valid record at its end"},
    {L"\x0141odz.txt", kMissing, 0, nullptr, IDC_WAY3_EN, nullptr, "", kNotLookedAt},
    {L"\x0141odz.txt", kFresh, 500, nullptr, IDC_WAY3_EN, kSuccess, OK_LINES("en"), {3, 42, true}},
    {L"\x0141odz.txt", kKept, 0, nullptr, IDC_PEEK, kSuccess, PEEK_LINES("3 2a"), {3, 42, true}},
    {L"Lodz.txt", kKept, 0, nullptr, IDC_PEEK, kFailure, kNoRecord, kPlain,
     L"{path}: no valid record at its end"},
};

#undef LONG_FOLDER
#undef PEEK_LINES
#undef OK_LINES

// `text` matches `pattern`, in which "*" stands for any run of characters.
bool matches(const std::string& pattern, const std::string& text) {
  std::size_t star = pattern.find('*');
  if (star == std::string::npos) return pattern == text;
  if (text.compare(0, star, pattern, 0, star) != 0) return false;
  std::string rest = pattern.substr(star + 1);
  for (std::size_t from = star; from <= text.size(); ++from) {
    if (matches(rest, text.substr(from))) return true;
  }
  return false;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

void check_presses(Session& s, const std::wstring& folder) {
  std::map<std::wstring, Bytes> written_to;  // what each file was last written with
  std::uint32_t row = 0;
  for (const Press& press : kPresses) {
    ++row;
    std::wstring name = press.file;
    static std::string scenario;
    scenario = "press " + std::to_string(row) + " on \"" + utf8(name) + "\"";
    g_scenario = scenario.c_str();
    const bool quoted = name.size() > 2 && name.front() == L'"';
    std::wstring path =
        name.empty() ? name : folder + (quoted ? name.substr(1, name.size() - 2) : name);
    switch (press.before) {
      case kKept:
        break;
      case kFresh:
        // Its folders first: a path past MAX_PATH needs a few.
        for (std::size_t at = name.find(L'\\'); at != std::wstring::npos;
             at = name.find(L'\\', at + 1)) {
          CreateDirectoryW((L"\\\\?\\" + folder + name.substr(0, at)).c_str(), nullptr);
        }
        written_to[name] = sample_bytes(static_cast<std::size_t>(press.size), row);
        write_file(path, written_to[name]);
        break;
      case kFolder:
        CreateDirectoryW(path.c_str(), nullptr);
        break;
      case kMissing:
        break;
    }
    s.set_path(quoted ? L"\"" + path + L"\"" : path);
    if (press.factor != nullptr) s.set_factor(press.factor);

    std::string button = "button " + std::to_string(press.button);
    std::string want =
        replaced(replaced(press.console, "{path}", ansi(path)), "{name}", ansi(name));
    std::size_t mark = s.program.output().size();
    s.click(press.button);
    if (press.box == nullptr) {
      CHECK_MSG(s.expect_no_window(), button + " showed a window");
    } else {
      const wchar_t* icon = press.box == kSuccess ? IDI_INFORMATION : IDI_EXCLAMATION;
      std::wstring reason = press.reason != nullptr ? press.reason : L"";
      if (reason.find(L"{path}") == 0) reason.replace(0, 6, path);
      CHECK_MSG(s.expect_box(box_text(press.box, reason), g_texts->caption, icon), button);
      wait_until([&] { return matches(want, timing_free(s.program.output_since(mark))); },
                 kLongWait);
    }
    std::string got = timing_free(s.program.output_since(mark));
    CHECK_MSG(matches(want, got),
              button + ": got \"" + visible(got) + "\", want \"" + visible(want) + "\"");

    if (press.after.way < 0) continue;
    const Bytes& written = written_to[name];
    Bytes want_bytes = transformed(written, press.after.way, press.after.factor);
    Bytes bytes = read_file(path);
    std::size_t want_size = written.size() + (press.after.record ? 512 : 0);
    CHECK_MSG(bytes.size() == want_size, button + ": " + number_pair(bytes.size(), want_size));
    CHECK_MSG(bytes.size() >= written.size() &&
                  Bytes(bytes.begin(), bytes.begin() + written.size()) == want_bytes,
              button + ": the file's data");
  }
}

// ---------------------------------------------------------------- long runs

// What is done to a long run while it goes on.
enum Interruption {
  kCancelButton,  // the progress window's cancel button
  kCloseBox,      // the main dialog's close box
  kSessionEnd,    // Windows asks whether the session may end
  kEscapeKey,     // Escape in the progress window
  kEnterKey,      // Enter there
};

// One long run of "rxen" with way 4 (every byte inverted) on a sparse file
// of 2 GiB: the box it ends with, and whether the file ends inverted or as
// it was.
struct LongRun {
  const char* scenario;
  Interruption interruption;
  const wchar_t* box;
  bool inverted;
};

const LongRun kLongRuns[] = {
    {"cancel button", kCancelButton, kCancelled, false},
    {"close box", kCloseBox, kSuccess, true},
    {"session end", kSessionEnd, kCancelled, false},
    {"escape key", kEscapeKey, kCancelled, false},
    {"enter key", kEnterKey, kCancelled, false},
};

constexpr std::int64_t kLongRunSize = std::int64_t{2} << 30;
constexpr std::int64_t kSampleStep = 1 << 20;
// The window is due after half a second; on a busy machine its timer may be late.
constexpr DWORD kProgressWithin = 1500;
// Half the pings are answered within kAnswerWithin, and each within
// kAnswerAtMost: the scheduler of a busy machine holds up a few, while a
// dialog that waits on the run, or drowns in its progress messages, misses both.
constexpr DWORD kAnswerWithin = 100;
constexpr DWORD kAnswerAtMost = 1000;
constexpr DWORD kLongRunWait = 120000;  // a whole pass over 2 GiB, flushed

bool make_sparse_file(const std::wstring& path, std::int64_t size) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD ignored = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = size;
  bool ok = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  return ok;
}

// The file's size is `size` and 512 bytes at the start of every MiB, and the
// last 512, all hold `fill`. Cheap next to hashing 2 GiB, and a zone left
// transformed or not put back spans at least one of the samples.
bool holds_only(const std::wstring& path, std::int64_t size, unsigned char fill,
                std::string& detail) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    detail = "cannot open the file";
    return false;
  }
  LARGE_INTEGER got_size = {};
  GetFileSizeEx(file, &got_size);
  bool ok = got_size.QuadPart == size;
  detail = "size " + number_pair(got_size.QuadPart, size);
  std::vector<std::int64_t> offsets;
  for (std::int64_t at = 0; at + 512 <= size; at += kSampleStep) offsets.push_back(at);
  if (size >= 512) offsets.push_back(size - 512);
  unsigned char sample[512];
  for (std::int64_t at : offsets) {
    if (!ok) break;
    LARGE_INTEGER offset;
    offset.QuadPart = at;
    DWORD read = 0;
    ok = SetFilePointerEx(file, offset, nullptr, FILE_BEGIN) &&
         ReadFile(file, sample, sizeof sample, &read, nullptr) && read == sizeof sample;
    for (unsigned char byte : sample) ok = ok && byte == fill;
    if (!ok) detail = "at offset " + std::to_string(at) + " not all " + std::to_string(fill);
  }
  CloseHandle(file);
  return ok;
}

void check_long_runs(Session& s, const std::wstring& folder) {
  std::wstring path = folder + L"two GiB.bin";
  g_scenario = "long runs";
  if (!CHECK_MSG(make_sparse_file(path, kLongRunSize), "no sparse file of 2 GiB")) return;
  s.set_path(path);
  unsigned char fill = 0;
  for (const LongRun& run : kLongRuns) {
    g_scenario = run.scenario;
    std::size_t mark = s.program.output().size();
    DWORD pressed = GetTickCount();
    s.click(IDC_WAY4_RXEN);
    HWND progress = nullptr;
    wait_until(
        [&] { return (progress = progress_window(s.program.thread(), s.dialog)) != nullptr; },
        kLongWait);
    DWORD shown_after = GetTickCount() - pressed;
    if (!CHECK_MSG(progress != nullptr, "no progress window")) return;
    CHECK_MSG(shown_after <= kProgressWithin, "shown after " + std::to_string(shown_after) + " ms");
    CHECK((GetWindowLongW(progress, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0);
    CHECK(window_text(GetDlgItem(progress, IDC_PROGRESS_FILE)) == L"two GiB.bin");
    CHECK(window_text(GetDlgItem(progress, IDCANCEL)) == g_texts->cancel);
    CHECK(!IsWindowEnabled(s.item(IDC_WAY4_RXEN)) && !IsWindowEnabled(s.item(IDC_PATH)));

    // The bar moves, and the dialog answers at once until the run is over.
    std::vector<DWORD> answer_times;
    bool answered = true;
    auto ping = [&] {
      DWORD before = GetTickCount();
      DWORD_PTR ignored = 0;
      bool answer = SendMessageTimeoutW(s.dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kAnswerAtMost,
                                        &ignored) != 0;
      // A ping that meets the end of the run waits for the box to be made;
      // only those answered while the progress window still shows count.
      if (!IsWindow(progress)) return;
      answered &= answer;
      answer_times.push_back(GetTickCount() - before);
    };
    HWND bar = GetDlgItem(progress, IDC_PROGRESS_BAR);
    LRESULT first = SendMessageW(bar, PBM_GETPOS, 0, 0);
    bool moved = wait_until(
        [&] {
          ping();
          return SendMessageW(bar, PBM_GETPOS, 0, 0) > first;
        },
        kLongWait);
    CHECK_MSG(moved, "the bar stays at " + std::to_string(first));
    DWORD moved_after = GetTickCount() - pressed;

    switch (run.interruption) {
      case kCancelButton:
        PostMessageW(GetDlgItem(progress, IDCANCEL), BM_CLICK, 0, 0);
        break;
      case kCloseBox:
        PostMessageW(s.dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
        Sleep(300);
        CHECK_MSG(IsWindow(s.dialog) && IsWindowVisible(s.dialog), "the close box closed it");
        CHECK_MSG(owned_window(s.program.thread(), s.dialog) == nullptr,
                  "the close box showed a window");
        CHECK(IsWindow(progress));
        break;
      case kEscapeKey:
      case kEnterKey: {
        const WPARAM key = run.interruption == kEscapeKey ? VK_ESCAPE : VK_RETURN;
        PostMessageW(GetDlgItem(progress, IDCANCEL), WM_KEYDOWN, key, 1);
        PostMessageW(GetDlgItem(progress, IDCANCEL), WM_KEYUP, key, 1u | 3u << 30);
        break;
      }
      case kSessionEnd: {
        DWORD_PTR may_end = TRUE;
        CHECK(SendMessageTimeoutW(s.dialog, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_BLOCK,
                                  kLongWait, &may_end) != 0);
        CHECK_MSG(may_end == FALSE, "the session may end during the run");
        break;
      }
    }
    DWORD interrupted = GetTickCount();
    wait_until(
        [&] {
          ping();
          return !IsWindow(progress);
        },
        kLongRunWait);
    CHECK(s.expect_box(box_text(run.box, L""), g_texts->caption, IDI_INFORMATION));
    DWORD ended_after = GetTickCount() - interrupted;
    std::sort(answer_times.begin(), answer_times.end());
    DWORD median = answer_times.empty() ? 0 : answer_times[answer_times.size() / 2];
    DWORD slowest = answer_times.empty() ? 0 : answer_times.back();
    CHECK_MSG(answered && median < kAnswerWithin, "answers took " + std::to_string(median) +
                                                      " ms (median) and " +
                                                      std::to_string(slowest) + " ms (slowest)");
    CHECK(IsWindowEnabled(s.item(IDC_WAY4_RXEN)) && IsWindowEnabled(s.item(IDC_PATH)));
    if (run.inverted) fill = static_cast<unsigned char>(~fill);
    std::string detail;
    CHECK_MSG(holds_only(path, kLongRunSize, fill, detail), detail);
    std::string console = timing_free(s.program.output_since(mark));
    bool ok_line = console.find(") ok.\r\n") != std::string::npos;
    CHECK_MSG(ok_line == (run.box == kSuccess), visible(console));
    std::printf(
        "long run, %s: progress window after %lu ms, bar moved after %lu ms, answers %lu ms "
        "(median of %u) and %lu ms (slowest), ended %lu ms after the interruption\n",
        run.scenario, shown_after, moved_after, median, static_cast<unsigned>(answer_times.size()),
        slowest, ended_after);
  }
  DeleteFileW(path.c_str());
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
// path field scrolls and keeps a path of any length, in any script.
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
      L"C:\\" + std::wstring(120, L'\x6587') + L"\\" + std::wstring(150, L'\x0436') + L".bin";
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
  // With the field empty the chooser starts in the user's documents, where
  // a bare name then is.
  Bytes data = sample_bytes(10, 3);
  std::wstring existing = folder + L"chosen.bin";
  write_file(existing, data);
  wchar_t* documents = nullptr;
  SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &documents);
  const std::wstring bare = L"from documents.bin", in_documents = documents + (L"\\" + bare);
  CoTaskMemFree(documents);
  for (const std::wstring& name : {existing, folder + L"not_yet_there.bin", in_documents}) {
    if (name == in_documents) s.set_path(L"");
    s.click(IDC_BROWSE);
    chooser = s.wait_owned(kLongWait);
    if (!CHECK_MSG(chooser != nullptr, "no chooser")) return;
    HWND field = chooser_name_field(chooser);
    if (!CHECK_MSG(field != nullptr, "no file name field in the chooser")) {
      PostMessageW(chooser, WM_COMMAND, IDCANCEL, 0);
      return;
    }
    set_text(field, name == in_documents ? bare : name);
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

long entries_in(const std::wstring& folder) {
  return std::distance(std::filesystem::directory_iterator(folder), {});
}

// The Send To switches: a shortcut to the program in the user's own SendTo
// folder, and after its removal the folder as it was.
void check_send_to(const std::wstring& exe) {
  g_scenario = "send to";
  wchar_t* found = nullptr;
  if (!CHECK(SUCCEEDED(SHGetKnownFolderPath(FOLDERID_SendTo, 0, nullptr, &found)))) return;
  const std::wstring folder = found;
  CoTaskMemFree(found);
  const std::wstring link = folder + L"\\tavoui.lnk";
  DeleteFileW(link.c_str());  // left by an earlier run that failed
  const long before = entries_in(folder);
  auto run = [&](const wchar_t* option, const char* said) {
    Program program(exe, option);
    CHECK_MSG(program.wait_for_output(0, said, kLongWait), visible(program.output()));
    DWORD code = 1;
    CHECK_MSG(program.exited(kLongWait, code) && code == 0, utf8(option));
  };
  run(L"--sendto-add", "tavoui: added ");
  CHECK(GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES);
  run(L"--sendto-remove", "tavoui: removed ");
  CHECK(GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES);
  CHECK_MSG(entries_in(folder) == before, number_pair(entries_in(folder), before));
}

// Files dropped from the file manager. The drop handle is built inside the
// program's own memory, as the shell would hand it over.
bool drop(Session& s, const std::vector<std::wstring>& paths) {
  std::vector<char> block(sizeof(DROPFILES));
  auto* header = reinterpret_cast<DROPFILES*>(block.data());
  header->pFiles = sizeof(DROPFILES);
  header->fWide = TRUE;
  for (const std::wstring& name : paths) {
    const char* bytes = reinterpret_cast<const char*>(name.c_str());
    block.insert(block.end(), bytes, bytes + (name.size() + 1) * sizeof(wchar_t));
  }
  block.insert(block.end(), sizeof(wchar_t), '\0');
  HANDLE process = s.program.process();
  void* remote =
      VirtualAllocEx(process, nullptr, block.size(), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (!CHECK(remote != nullptr)) return false;
  CHECK(WriteProcessMemory(process, remote, block.data(), block.size(), nullptr));
  return PostMessageW(s.dialog, WM_DROPFILES, reinterpret_cast<WPARAM>(remote), 0) != FALSE;
}

std::wstring quoted(const std::vector<std::wstring>& paths) {
  std::wstring text;
  for (const std::wstring& path : paths) text += (text.empty() ? L"\"" : L" \"") + path + L"\"";
  return text;
}

// A drop: all its files go into the field, and nothing runs.
void check_drop(Session& s, const std::wstring& folder) {
  g_scenario = "drop";
  // The first past MAX_PATH, not in code page 1252.
  const std::vector<std::wstring> files = {folder + kLongName, folder + L"dropped two.bin"};
  s.set_path(L"before the drop");
  std::size_t mark = s.program.output().size();
  drop(s, files);
  CHECK_MSG(wait_until([&] { return window_text(s.item(IDC_PATH)) == quoted(files); }, kLongWait),
            wide_pair(window_text(s.item(IDC_PATH)), quoted(files)));
  CHECK(s.expect_no_window());
  CHECK(s.program.output_since(mark).empty());
}

// ---------------------------------------------------------------- many files

// Files of the scratch folder dropped or on the command line ("dir\\": a file
// in it and one deeper; "?": missing), how each ends ('+' transformed with a
// record), the box's counts and the missing file's reason. A cancelled run:
// Cancel in its second file, the 2 GiB one of the long runs.
struct ManyRun {
  const char* scenario;
  bool command_line;
  std::vector<std::wstring> names;
  const wchar_t* factor;
  int button;
  const wchar_t *box, *reason;
  int done, skipped, failed, left;
  const char* ends;
};

const wchar_t kBigName[] = L"two GiB.bin";
// clang-format off
const ManyRun kManyRuns[] = {
    {"drop of three files and a folder", false, {L"a.bin", L"b.bin", L"c.bin", L"a folder\\"}, L"42",
     IDC_WAY3_EN, kSuccess, L"", 5, 0, 0, 0, "++++"},
    {"command line of three files, one missing", true, {L"one.bin", L"?two.bin", L"three.bin"}, L"200",
     IDC_WAY2_EN, kFailure, L": File not found", 2, 0, 1, 0, "+ +"},
    // Files run side by side: the small third one is done long before the
    // second, 2 GiB, is cancelled.
    {"cancel in the second file", false, {L"first.bin", kBigName, L"third.bin"}, L"7",
     IDC_WAY4_EN, kCancelled, L"", 2, 0, 0, 1, "+=+"},
};
// clang-format on

std::wstring many_box(const ManyRun& run, const std::wstring& reason) {
  wchar_t line[200];
  std::swprintf(line, 200, g_texts->counts, run.done, run.skipped, run.failed);
  std::wstring counts = line;
  if (run.left > 0) {
    std::swprintf(line, 200, g_texts->left, run.left, static_cast<int>(run.names.size()));
    counts += std::wstring(L"\n") + line;
  }
  const bool reasons = run.box == kFailure && g_texts->failed_because != nullptr;
  return reasons ? g_texts->failed_because + counts + L"\n\n" + reason
                 : box_text(run.box, L"") + L"\n\n" + counts;
}

void check_many(const std::wstring& exe, const std::wstring& folder) {
  for (const ManyRun& run : kManyRuns) {
    g_scenario = run.scenario;
    std::vector<std::wstring> paths;
    std::map<std::wstring, std::pair<Bytes, char>> files;  // written with, how it ends
    std::wstring missing;
    for (std::size_t i = 0; i < run.names.size(); ++i) {
      const std::wstring name = run.names[i].substr(run.names[i][0] == L'?' ? 1 : 0);
      const std::wstring& path = paths.emplace_back(folder + name);
      if (name != run.names[i]) {
        missing = path;
      } else if (name == kBigName) {
        CHECK(make_sparse_file(path, kLongRunSize));
      } else if (name.back() != L'\\') {
        files[path] = {sample_bytes(600 + i, static_cast<std::uint32_t>(i)), run.ends[i]};
      } else {
        CreateDirectoryW(path.c_str(), nullptr);
        CreateDirectoryW((path + L"deeper").c_str(), nullptr);
        files[path + L"deeper\\inner.bin"] = {sample_bytes(900, 9), run.ends[i]};
        files[path + L"outer.bin"] = {sample_bytes(700, 7), run.ends[i]};
      }
    }
    for (const auto& [path, file] : files) write_file(path, file.first);
    Session s(exe, run.command_line ? quoted(paths) : L"");
    if (!s.open()) continue;
    if (!run.command_line) drop(s, paths);
    CHECK_MSG(wait_until([&] { return window_text(s.item(IDC_PATH)) == quoted(paths); }, kLongWait),
              wide_pair(window_text(s.item(IDC_PATH)), quoted(paths)));
    s.set_factor(run.factor);
    s.click(run.button);
    if (run.box == kCancelled) {
      wchar_t second[100];
      std::swprintf(second, 100, g_texts->file_of, 2, static_cast<int>(paths.size()));
      HWND progress = nullptr;
      auto in_second = [&] {
        progress = progress_window(s.program.thread(), s.dialog);
        return progress != nullptr &&
               window_text(GetDlgItem(progress, IDC_PROGRESS_FILE))
                       .rfind(second + std::wstring(L": "), 0) == 0 &&
               window_text(GetDlgItem(progress, IDC_PROGRESS_FILE)).size() >
                   std::wcslen(second) + 2 &&
               SendDlgItemMessageW(progress, IDC_PROGRESS_BAR, PBM_GETPOS, 0, 0) > 0;
      };
      CHECK_MSG(wait_until(in_second, kLongRunWait), "no progress in the second file");
      PostMessageW(GetDlgItem(progress, IDCANCEL), BM_CLICK, 0, 0);
    }
    CHECK(s.expect_box(many_box(run, missing + run.reason), g_texts->caption,
                       run.box == kFailure ? IDI_EXCLAMATION : IDI_INFORMATION));
    const auto* operation = tavo::dialog::find_operation(run.button);
    char summary[100];
    std::snprintf(summary, 100, "tavo %s: %d ok, %d skipped, %d failed",
                  operation->keyword == tavo::Keyword::en ? "en" : "de", run.done, run.skipped,
                  run.failed);
    CHECK_MSG(s.program.output().find(summary) != std::string::npos, visible(s.program.output()));
    for (const auto& [path, file] : files) {
      const bool done = file.second == '+';
      Bytes want = done ? transformed(file.first, operation->way, _wtoi(run.factor)) : file.first;
      const Bytes got = read_file(path);
      CHECK_MSG(got.size() == want.size() + (done ? 512 : 0) &&
                    std::equal(want.begin(), want.end(), got.begin()),
                utf8(path));
    }
    std::string detail;
    if (run.box == kCancelled) CHECK_MSG(holds_only(paths[1], kLongRunSize, 0, detail), detail);
    DeleteFileW(paths[1].c_str());  // the 2 GiB file
  }
}

// The close box checks the factor field; a whole number lets it close.
void check_close(Session& s) {
  g_scenario = "close";
  for (const wchar_t* bad : {L"", L"abc", L"12x"}) {
    s.set_factor(bad);
    PostMessageW(s.dialog, WM_CLOSE, 0, 0);
    CHECK_MSG(s.expect_box(g_texts->not_a_number, L"tavoui", IDI_EXCLAMATION),
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

// Each operation button's name read alone, in its tooltip. The same string
// is its accessible name, which Wine cannot show: its oleacc takes none.
void check_names(HWND dialog) {
  HWND tooltip = nullptr;
  for (HWND window = FindWindowExW(nullptr, nullptr, TOOLTIPS_CLASSW, nullptr); window != nullptr;
       window = FindWindowExW(nullptr, window, TOOLTIPS_CLASSW, nullptr)) {
    if (GetWindow(window, GW_OWNER) == dialog) tooltip = window;
  }
  if (!CHECK_MSG(tooltip != nullptr, "no tooltip")) return;
  for (int i = 0; i < tavo::dialog::kOperationCount; ++i) {
    const std::wstring want = std::wstring(g_texts->ways[i / 4]) + g_texts->actions[i % 4];
    HWND button = GetDlgItem(dialog, tavo::dialog::kOperations[i].control_id);
    wchar_t text[128] = {};
    TOOLINFOW tool = {sizeof tool, 0, dialog, reinterpret_cast<UINT_PTR>(button), {}, {},
                      text,        0, {}};
    SendMessageW(tooltip, TTM_GETTEXTW, 128, reinterpret_cast<LPARAM>(&tool));
    CHECK_MSG(want == text, wide_pair(text, want));
  }
}

// Nothing clipped: every button's and every text's words fit its control,
// wrapped where a text may wrap, in the control's own font.
void check_room_for_texts(HWND dialog) {
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    const std::wstring text = window_text(child);
    const LONG style = GetWindowLongW(child, GWL_STYLE);
    const bool button = lstrcmpiW(class_name(child).c_str(), L"Button") == 0;
    const bool group = button && (style & BS_TYPEMASK) == BS_GROUPBOX;
    if (text.empty() || (!button && (style & SS_TYPEMASK) != SS_LEFT)) continue;
    RECT room;
    GetClientRect(child, &room);
    const int margin = group ? 16 : button ? 4 : 0;
    RECT need = {0, 0, room.right - margin, 0};
    HDC dc = GetDC(child);
    HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(child, WM_GETFONT, 0, 0)));
    DrawTextW(dc, text.c_str(), -1, &need, DT_CALCRECT | (group ? DT_SINGLELINE : DT_WORDBREAK));
    SelectObject(dc, old);
    ReleaseDC(child, dc);
    CHECK_MSG(need.right <= room.right - margin && (group || need.bottom <= room.bottom),
              utf8(text) + ": " + number_pair(need.bottom, room.bottom));
  }
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
    check_names(dialog);
    check_room_for_texts(dialog);
    set_text(GetDlgItem(dialog, IDC_FACTOR), L"5");
    PostMessageW(dialog, WM_CLOSE, 0, 0);
  }
  CHECK_MSG(WaitForSingleObject(thread, kLongWait) == WAIT_OBJECT_0, "the dialog did not close");
  CloseHandle(thread);
}

}  // namespace
}  // namespace tavo::driver

int wmain(int argc, wchar_t** argv) {
  using namespace tavo::driver;
  if (argc < 2) {
    std::printf("usage: tavo_dialog_driver PATH\\TO\\tavoui.exe [long]\n");
    return 2;
  }
  DWORD start = GetTickCount();
  std::wstring exe = argv[1];
  // The dialog's language follows the display language: Chinese or English.
  if (PRIMARYLANGID(GetUserDefaultUILanguage()) != LANG_CHINESE) g_texts = &kEnglish;
  std::printf("tavoui driver: %s texts, %d dpi\n", g_texts == &kChinese ? "Chinese" : "English",
              GetDeviceCaps(GetDC(nullptr), LOGPIXELSX));
  std::wstring folder = make_scratch_folder();
  std::printf("tavoui driver: %s, scratch %s, data seed %u\n", utf8(exe).c_str(),
              utf8(folder).c_str(), kSeed);

  // "long": the long runs alone (docs/screenshot.sh photographs one).
  const bool long_runs_only = argc > 2 && std::wcscmp(argv[2], L"long") == 0;
  if (long_runs_only) {
    Session s(exe);
    if (s.open()) check_long_runs(s, folder);
  } else {
    check_version_record(exe);
    check_icon_resource(exe);
    Session s(exe);
    if (s.open()) {
      check_start(s);
      if (g_texts == &kChinese) {
        check_layout(s.dialog, s.program.thread());
      } else {
        check_english_layout(s);
      }
      check_presses(s, folder);
      check_long_runs(s, folder);
      check_usage(s);
      check_keys(s);
      check_typing(s);
      check_chooser(s, folder);
      check_drop(s, folder);
      check_close(s);
    }
    check_many(exe, folder);
    check_send_to(exe);
  }
  if (!long_runs_only) check_in_process();
  remove_folder(folder);
  std::printf("tavoui driver: %d checks, %d failed, %.1f s\n", g_checks, g_failures,
              (GetTickCount() - start) / 1000.0);
  return g_failures == 0 ? 0 : 1;
}
