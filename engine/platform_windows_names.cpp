// The Windows layer's text and paths: UTF-8 and UTF-16, the ANSI code page of
// the record's names, the system's error texts, the paths for the wide
// functions. Files and folders are in platform_windows_files.cpp and _folders.cpp.
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "platform_windows.h"

namespace tavo::platform {
namespace {

void append_utf8(std::string& out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

// The code point of the UTF-8 sequence at `text[at]`, advancing `at` past it;
// false, advancing one byte, for anything else. Overlong forms are refused.
bool next_code_point(const char* text, std::size_t length, std::size_t& at,
                     std::uint32_t& code_point) {
  const auto lead = static_cast<unsigned char>(text[at++]);
  if (lead < 0x80) {
    code_point = lead;
    return true;
  }
  const std::size_t trail = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
  constexpr std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  if (trail == 0 || lead > 0xF4 || length - at < trail) return false;
  code_point = lead & (0x3Fu >> trail);
  for (std::size_t i = 0; i < trail; ++i) {
    const auto byte = static_cast<unsigned char>(text[at + i]);
    if ((byte & 0xC0) != 0x80) return false;
    code_point = (code_point << 6) | (byte & 0x3F);
  }
  if (code_point < kSmallest[trail] || code_point > 0x10FFFF) return false;
  at += trail;
  return true;
}

bool starts_with(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

}  // namespace

std::string error_text_of(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = length > 0 && text != nullptr ? utf8_from_utf16(text, length)
                                                      : "error " + std::to_string(error);
  if (text != nullptr) LocalFree(text);
  // The system's texts end in a line break and often a full stop.
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == '.' || message.back() == ' ')) {
    message.pop_back();
  }
  return message;
}

std::string utf8_from_utf16(const wchar_t* text, std::size_t length) {
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    std::uint32_t code_point = static_cast<std::uint16_t>(text[i]);
    if (is_high_surrogate(code_point) && i + 1 < length &&
        is_low_surrogate(static_cast<std::uint16_t>(text[i + 1]))) {
      code_point = 0x10000 + ((code_point - 0xD800) << 10) +
                   (static_cast<std::uint16_t>(text[++i]) - 0xDC00);
    }
    // An unpaired surrogate is written like any other code point.
    append_utf8(out, code_point);
  }
  return out;
}

std::string utf8_from_utf16(const std::wstring& text) {
  return utf8_from_utf16(text.data(), text.size());
}

bool utf16_from_utf8(const char* text, std::size_t length, std::wstring& wide) {
  wide.clear();
  bool valid = true;
  std::size_t at = 0;
  while (at < length) {
    std::uint32_t code_point = 0;
    if (!next_code_point(text, length, at, code_point)) {
      valid = false;
      code_point = 0xFFFD;
    }
    if (code_point >= 0x10000) {
      wide += static_cast<wchar_t>(0xD800 + ((code_point - 0x10000) >> 10));
      wide += static_cast<wchar_t>(0xDC00 + ((code_point - 0x10000) & 0x3FF));
    } else {
      wide += static_cast<wchar_t>(code_point);
    }
  }
  return valid;
}

std::wstring utf16_from_utf8(const std::string& text) {
  std::wstring wide;
  utf16_from_utf8(text.data(), text.size(), wide);
  return wide;
}

// WC_NO_BEST_FIT_CHARS, because a look-alike letter ("L" for "Ł") would name
// another file. No ANSI code page but UTF-8 holds characters beyond U+FFFF,
// so each becomes one '?', not one per surrogate.
std::string ansi_from_utf8(const char* text, std::size_t length) {
  if (GetACP() == CP_UTF8) return std::string(text, length);
  std::wstring wide;
  utf16_from_utf8(text, length, wide);
  std::wstring writable;
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const bool pair =
        is_high_surrogate(wide[i]) && i + 1 < wide.size() && is_low_surrogate(wide[i + 1]);
    writable += pair ? L'?' : wide[i];
    if (pair) ++i;
  }
  if (writable.empty()) return std::string();
  const int count = static_cast<int>(writable.size());
  const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, writable.data(), count,
                                       nullptr, 0, "?", nullptr);
  if (size <= 0) {
    // A code page that refuses the flag: ASCII alone is safe.
    std::string ascii;
    for (wchar_t c : writable) ascii += c < 0x80 ? static_cast<char>(c) : '?';
    return ascii;
  }
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, writable.data(), count, bytes.data(), size, "?",
                      nullptr);
  return bytes;
}

std::string displayed_name(const std::string& stored) {
  if (stored.empty() || GetACP() == CP_UTF8) return stored;
  const int length = static_cast<int>(stored.size());
  const int size = MultiByteToWideChar(CP_ACP, 0, stored.data(), length, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  MultiByteToWideChar(CP_ACP, 0, stored.data(), length, wide.data(), size);
  return utf8_from_utf16(wide);
}

std::string record_name(const char* path) {
  const char* base = path;
  for (const char* c = path; *c != '\0'; ++c) {
    if (*c == '\\' || *c == '/') base = c + 1;
  }
  return ansi_from_utf8(base, std::strlen(base));
}

std::wstring system_path(const char* path) {
  std::wstring wide;
  if (!utf16_from_utf8(path, std::strlen(path), wide)) return std::wstring();
  const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return wide;
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return wide;
  full.resize(length);
  // Devices (\\.\NUL) and literal paths are left as the user gave them.
  if (starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\")) return wide;
  if (length < MAX_PATH) return full;
  if (starts_with(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::wstring full_path(const std::wstring& path) {
  std::wstring full = path;
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed > 0) {
    full.assign(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    full.resize(length < needed ? length : 0);
  }
  if (starts_with(full, L"\\\\?\\UNC\\")) return L"\\\\" + full.substr(8);
  if (starts_with(full, L"\\\\?\\")) return full.substr(4);
  return full;
}

bool is_own_program(const std::wstring& path) {
  static const std::wstring own = [] {
    std::wstring name(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, name.data(), 32768);
    name.resize(length < 32768 ? length : 0);
    return full_path(name);
  }();
  return !own.empty() && _wcsicmp(full_path(path).c_str(), own.c_str()) == 0;
}

bool exists(const char* path) {
  return GetFileAttributesW(system_path(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

Utf8Arguments::Utf8Arguments(int argc, const wchar_t* const* argv) {
  for (int i = 0; i < argc; ++i) strings_.push_back(utf8_from_utf16(argv[i], std::wcslen(argv[i])));
  for (const std::string& argument : strings_) pointers_.push_back(argument.c_str());
  pointers_.push_back(nullptr);
}

bool is_pattern(const char* path) {
  const char* last = path;
  for (const char* c = path; *c != '\0'; ++c) {
    if (*c == '\\' || *c == '/') last = c + 1;
  }
  return std::strpbrk(last, "*?") != nullptr;
}

char folder_separator() { return '\\'; }

bool shell_expands_patterns() { return false; }

}  // namespace tavo::platform
