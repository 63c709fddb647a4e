// Windows only: Ctrl+C in the console of a running tavo.exe cancels the run
// and puts the file back. Sends the event the way a console does, to every
// process on it (this one ignores it), once the run has begun.
//
// usage: tavo_ctrl_c_test TAVO.exe
// Needs a console: under Wine, run it on a pseudo-terminal (script -qec).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Over two zones of 128 MiB: a stop is taken between zones, and a run in its
// last zone finishes.
constexpr DWORD kSize = 320u << 20;

std::vector<char> pattern_block() {
  std::vector<char> block(1 << 20);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + i / 251);
  return block;
}

bool write_file(const wchar_t* name, const std::vector<char>& block) {
  HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = true;
  for (DWORD done = 0; ok && done < kSize; done += static_cast<DWORD>(block.size())) {
    ok = WriteFile(file, block.data(), static_cast<DWORD>(block.size()), &written, nullptr) &&
         written == block.size();
  }
  CloseHandle(file);
  return ok;
}

bool file_is_pattern(const wchar_t* name, const std::vector<char>& block) {
  HANDLE file =
      CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool same = GetFileSizeEx(file, &size) && size.QuadPart == kSize;
  std::vector<char> got(block.size());
  DWORD read = 0;
  for (DWORD done = 0; same && done < kSize; done += static_cast<DWORD>(block.size())) {
    same = ReadFile(file, got.data(), static_cast<DWORD>(got.size()), &read, nullptr) &&
           read == got.size() && got == block;
  }
  CloseHandle(file);
  return same;
}

std::string read_all(const wchar_t* name) {
  HANDLE file =
      CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  std::string text(1 << 16, '\0');
  DWORD read = 0;
  if (file == INVALID_HANDLE_VALUE) return {};
  ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
  CloseHandle(file);
  text.resize(read);
  return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::printf("usage: tavo_ctrl_c_test TAVO.exe\n");
    return 2;
  }
  const std::vector<char> block = pattern_block();
  if (!write_file(L"ctrl-c.bin", block)) return 2;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out = CreateFileW(L"ctrl-c.out", GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = out;
  std::wstring command = L"\"" + std::wstring(argv[1]) + L"\" ctrl-c.bin en 3 42";
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::printf("FAIL: cannot start %ls\n", argv[1]);
    return 1;
  }
  // The run has begun once the journal has made the file longer.
  for (int i = 0; i < 4000; ++i) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(L"ctrl-c.bin", GetFileExInfoStandard, &data) &&
        data.nFileSizeLow > kSize) {
      break;
    }
    Sleep(2);
  }
  SetConsoleCtrlHandler(nullptr, TRUE);
  const bool sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0;
  DWORD code = 99;
  const bool ended = WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(out);
  const std::string output = read_all(L"ctrl-c.out");
  int failures = 0;
  const auto check = [&failures](bool ok, const char* what) {
    if (!ok) {
      std::printf("FAIL: %s\n", what);
      ++failures;
    }
  };
  check(sent, "GenerateConsoleCtrlEvent failed (no console?)");
  check(ended, "tavo.exe did not end");
  check(code == 0, "exit code is not 0");
  check(output.find("tavo en file(ctrl-c.bin) cancelled\r\n") != std::string::npos,
        "no \"cancelled\" line");
  check(file_is_pattern(L"ctrl-c.bin", block), "the file is not as it was");
  std::printf("%s\n--- tavo's output:\n%s",
              failures == 0 ? "ctrl+c: cancelled, file as before" : "ctrl+c: FAILED",
              output.c_str());
  DeleteFileW(L"ctrl-c.bin");
  return failures == 0 ? 0 : 1;
}
