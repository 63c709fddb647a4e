// The Windows platform layer's console: output as UTF-16 to a console or in
// the ANSI code page to anything else, and the console's stop events. Text
// conversions are in platform_windows_names.cpp.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "platform_windows.h"

namespace tavo::platform {
namespace {

// Old consoles take at most 64 KiB in one call; a surrogate pair stays whole.
void write_console(HANDLE console, const std::wstring& text) {
  constexpr std::size_t kPiece = 8192;
  std::size_t done = 0;
  while (done < text.size()) {
    std::size_t piece = text.size() - done < kPiece ? text.size() - done : kPiece;
    if (done + piece < text.size() && is_high_surrogate(text[done + piece - 1])) --piece;
    DWORD written = 0;
    if (!WriteConsoleW(console, text.data() + done, static_cast<DWORD>(piece), &written, nullptr) ||
        written == 0) {
      return;
    }
    done += written;
  }
}

// UTF-8 text to a stream: UTF-16 to a console, which then shows every
// character whatever its code pages; bytes in the ANSI code page to anything
// else, as programs reading a pipe or a file expect.
void write_text(std::FILE* stream, const char* bytes, std::size_t count) {
  std::fflush(stream);
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    std::wstring wide;
    utf16_from_utf8(bytes, count, wide);
    write_console(handle, wide);
    return;
  }
  const std::string ansi = ansi_from_utf8(bytes, count);
  // Text mode would expand every "\n" of "\r\n" into another "\r\n".
  _setmode(_fileno(stream), _O_BINARY);
  std::fwrite(ansi.data(), 1, ansi.size(), stream);
  std::fflush(stream);
}

// GetTickCount64() + 1 when the first event of the request came; 0: none came.
// Monotonic, unlike the time of day, which the user may set back.
std::atomic<std::uint64_t> first_event_tick{0};

}  // namespace

int handle_console_event(unsigned long event) {
  const std::uint64_t now = GetTickCount64() + 1;
  std::uint64_t first = 0;
  if (!first_event_tick.compare_exchange_strong(first, now) && now - first >= kRepeatPauseMs) {
    return FALSE;  // a new request: the default handling ends the process
  }
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // The process ends when this returns; until then (about 5 s at most)
    // the main thread stops the run at its next zone and puts the file back.
    Sleep(INFINITE);
  }
  return TRUE;
}

namespace {

BOOL WINAPI on_console_event(DWORD event) { return handle_console_event(event); }

}  // namespace

void write_stdout(const char* bytes, std::size_t count) { write_text(stdout, bytes, count); }

void write_stderr(const char* bytes, std::size_t count) { write_text(stderr, bytes, count); }

void catch_interrupts() { SetConsoleCtrlHandler(on_console_event, TRUE); }

bool interrupt_requested() { return first_event_tick.load() != 0; }

void release_interrupts() {
  SetConsoleCtrlHandler(on_console_event, FALSE);
  first_event_tick.store(0);
}

}  // namespace tavo::platform
