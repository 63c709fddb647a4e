// The dialog's texts in the language of the display (texts.h).
#include "texts.h"

namespace tavo::dialog {

LANGID use_display_language() {
  const bool chinese = PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_CHINESE;
  const LANGID language = chinese ? MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)
                                  : MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
  SetThreadUILanguage(language);
  return language;
}

std::wstring load_text(UINT id) {
  // With no buffer, LoadString hands out the resource's own read-only text,
  // which is not terminated.
  const wchar_t* text = nullptr;
  const int length =
      LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<wchar_t*>(&text), 0);
  if (length <= 0 || text == nullptr) return std::wstring();
  return std::wstring(text, static_cast<std::size_t>(length));
}

std::wstring with_value(const std::wstring& text, const std::wstring& value) {
  std::wstring out = text;
  const std::size_t at = out.find(L"%1");
  if (at != std::wstring::npos) out.replace(at, 2, value);
  return out;
}

std::wstring with_values(const std::wstring& text, std::initializer_list<std::wstring> values) {
  std::wstring out = text;
  int number = 0;
  for (const std::wstring& value : values) {
    const std::wstring mark = L"%" + std::to_wstring(++number);
    const std::size_t at = out.find(mark);
    if (at != std::wstring::npos) out.replace(at, mark.size(), value);
  }
  return out;
}

}  // namespace tavo::dialog
