// The Send To shortcut (send_to.h).
// clang-format off
#include <windows.h>
#include <shlobj.h>
#include <objbase.h>
// clang-format on

#include "send_to.h"

#include "tavo/tavo.h"
#include "tavo/text.h"

namespace tavo::dialog {
namespace {

void print_line(Sink sink, const std::wstring& text) {
  const std::string line = platform::utf8_from_utf16(L"tavoui: " + text + L"\r\n");
  sink.write(sink.context, line.data(), line.size());
}

std::wstring module_path() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

// The system's text for `result`, worded as the engine words its own failures.
std::wstring hresult_text(HRESULT result) {
  return platform::utf16_from_utf8(platform::error_text_of(static_cast<DWORD>(result)));
}

// Writes the shortcut to `target` at `link`.
HRESULT save_shortcut(const std::wstring& link, const std::wstring& target) {
  IShellLinkW* shortcut = nullptr;
  HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                    reinterpret_cast<void**>(&shortcut));
  if (FAILED(result)) return result;
  shortcut->SetPath(target.c_str());
  shortcut->SetDescription(L"tavo");
  IPersistFile* file = nullptr;
  result = shortcut->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
  if (SUCCEEDED(result)) {
    result = file->Save(link.c_str(), TRUE);
    file->Release();
  }
  shortcut->Release();
  return result;
}

}  // namespace

std::wstring send_to_shortcut(const std::wstring& program_name) {
  wchar_t* folder = nullptr;
  if (FAILED(SHGetKnownFolderPath(FOLDERID_SendTo, 0, nullptr, &folder))) return std::wstring();
  std::wstring path = std::wstring(folder) + L"\\" + program_name + L".lnk";
  CoTaskMemFree(folder);
  return path;
}

int add_to_send_to(const std::wstring& program_name) {
  const std::wstring link = send_to_shortcut(program_name);
  if (link.empty()) {
    print_line(stderr_sink(), L"the Send To folder is unknown");
    return 1;
  }
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const HRESULT result = save_shortcut(link, module_path());
  if (SUCCEEDED(com)) CoUninitialize();
  if (FAILED(result)) {
    print_line(stderr_sink(), link + L": " + hresult_text(result));
    return 1;
  }
  print_line(stdout_sink(), L"added " + link);
  return 0;
}

int remove_from_send_to(const std::wstring& program_name) {
  const std::wstring link = send_to_shortcut(program_name);
  if (link.empty()) {
    print_line(stderr_sink(), L"the Send To folder is unknown");
    return 1;
  }
  if (!DeleteFileW(link.c_str())) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
      print_line(stderr_sink(), link + L": " + hresult_text(HRESULT_FROM_WIN32(error)));
      return 1;
    }
    print_line(stdout_sink(), L"nothing to remove: " + link);
    return 0;
  }
  print_line(stdout_sink(), L"removed " + link);
  return 0;
}

}  // namespace tavo::dialog
