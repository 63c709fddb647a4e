// Windows only: the conversions between the engine's UTF-8 and the system's
// UTF-16, the path form handed to CreateFileW and the plain full path. Wine
// opens paths past MAX_PATH with or without the \\?\ form, so it is checked here.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <utility>

#include "platform.h"

namespace tavo::platform {
namespace {

struct PathCase {
  std::string typed;   // UTF-8, as the engine gets it
  std::wstring given;  // what CreateFileW gets
};

std::wstring current_folder() {
  wchar_t folder[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, folder);
  std::wstring text = folder;
  return text.back() == L'\\' ? text : text + L'\\';
}

TEST(SystemPath, LongPathsTakeTheLiteralFormAfterDotsAreResolved) {
  const std::string a(300, 'a');
  const std::wstring wide_a(300, L'a');
  std::string cjk;
  for (int i = 0; i < 256; ++i) cjk += "\xE6\x96\x87";  // U+6587
  const PathCase cases[] = {
      {"C:\\" + a, L"\\\\?\\C:\\" + wide_a},
      {"C:/dir/./x/../" + a, L"\\\\?\\C:\\dir\\" + wide_a},
      {"\\\\server\\share\\" + a, L"\\\\?\\UNC\\server\\share\\" + wide_a},
      {"//server/share/" + a, L"\\\\?\\UNC\\server\\share\\" + wide_a},
      {"sub\\" + a, L"\\\\?\\" + current_folder() + L"sub\\" + wide_a},
      // The limit counts UTF-16 units, not bytes: 259 and 260 of them.
      {"C:\\" + cjk, L"C:\\" + std::wstring(256, L'\x6587')},
      {"C:\\" + cjk + "a", L"\\\\?\\C:\\" + std::wstring(256, L'\x6587') + L"a"},
      // Already literal, or devices: as typed.
      {"\\\\?\\C:\\" + a, L"\\\\?\\C:\\" + wide_a},
      {"NUL", L"NUL"},
      {"C:\\dir\\NUL", L"C:\\dir\\NUL"},
      // Short paths: the full path, as the system would make it itself.
      {"C:/dir/../f.txt", L"C:\\f.txt"},
      {"f.txt", current_folder() + L"f.txt"},
      // Not UTF-8: no file.
      {"\xFF.txt", L""},
      {"C:\\\xC0\xAF", L""},
  };
  for (const PathCase& c : cases) {
    EXPECT_EQ(system_path(c.typed.c_str()), c.given) << c.typed;
  }
}

TEST(FullPath, ResolvedAndPlainWithoutTheLiteralForm) {
  const std::wstring a(300, L'a');
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"f.txt", current_folder() + L"f.txt"},
      {L"C:/dir/../f.txt", L"C:\\f.txt"},
      {L"C:\\" + a, L"C:\\" + a},
      {L"\\\\?\\C:\\" + a, L"C:\\" + a},
      {L"\\\\?\\UNC\\server\\share\\f.txt", L"\\\\server\\share\\f.txt"},
  };
  for (const auto& [typed, full] : cases) {
    EXPECT_EQ(full_path(typed), full) << utf8_from_utf16(typed);
  }
}

TEST(TextConversion, EveryUtf16NameComesBackFromUtf8) {
  const std::wstring names[] = {
      L"plain.txt",
      L"\x043E\x0442\x0447\x0451\x0442",  // Cyrillic
      L"\xD83D\xDE00.bin",                // a pair: one character
      L"a\xD800"
      L"b",             // unpaired high surrogate
      L"\xDC00\xD800",  // low then high: two unpaired
      L"\xFFFD\xFFFF",
  };
  for (const std::wstring& name : names) {
    const std::string utf8 = utf8_from_utf16(name);
    std::wstring back;
    EXPECT_TRUE(utf16_from_utf8(utf8.data(), utf8.size(), back));
    EXPECT_EQ(back, name);
    // The form the dialog shows the engine's names with.
    EXPECT_EQ(utf16_from_utf8(utf8), name);
  }
  EXPECT_EQ(utf8_from_utf16(L"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(utf8_from_utf16(L"a\xD800"), "a\xED\xA0\x80");
}

TEST(TextConversion, BytesThatAreNotUtf8AreRefused) {
  const std::string refused[] = {
      "\x80",
      "\xC0\xAF",
      "\xE0\x80\xAF",
      "\xF0\x80\x80\xAF",
      "\xF4\x90\x80\x80",
      "\xE6\x96",
      "\xF8\x88\x80\x80\x80",
  };
  for (const std::string& bytes : refused) {
    std::wstring wide;
    EXPECT_FALSE(utf16_from_utf8(bytes.data(), bytes.size(), wide)) << bytes;
    EXPECT_NE(wide.find(L'\xFFFD'), std::wstring::npos);
  }
}

}  // namespace
}  // namespace tavo::platform
