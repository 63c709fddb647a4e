// Windows implementation of the platform layer (mingw-w64, 32-bit and 64-bit).
//
// Paths are byte strings in the active code page, so the ANSI entry points
// are used. Positions travel in OVERLAPPED offsets, which are 64-bit on every
// Windows build; that is what lets the 32-bit program handle files past 4 GiB.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform.h"

namespace tavo::platform {
namespace {

HANDLE to_handle(File file) { return reinterpret_cast<HANDLE>(file.handle); }

// ReadFile and WriteFile take a 32-bit count; one call never moves more.
constexpr std::size_t kMaxTransfer = 1u << 30;

OVERLAPPED at_offset(std::int64_t offset) {
  OVERLAPPED overlapped{};
  const auto position = static_cast<std::uint64_t>(offset);
  overlapped.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
  overlapped.OffsetHigh = static_cast<DWORD>(position >> 32);
  return overlapped;
}

class WindowsFiles final : public FileSystem {
 public:
  OpenStatus open(const char* path, Access access, File& file) override {
    // No write sharing: a second run, or any other program writing the file,
    // cannot interleave its writes with this run's. Peeks share reading only.
    (void)access;
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
        return OpenStatus::in_use;
      }
      last_error_ = error;
      return OpenStatus::failed;
    }
    // Device names such as NUL and CON open successfully; only disk files
    // that are not directories count as files here.
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      CloseHandle(handle);
      return OpenStatus::not_regular;
    }
    file.handle = reinterpret_cast<std::intptr_t>(handle);
    return OpenStatus::opened;
  }

  bool size(File file, std::int64_t& size) override {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(to_handle(file), &value)) return remember(false);
    size = value.QuadPart;
    return true;
  }

  bool read_at(File file, std::int64_t offset, void* buffer, std::size_t count,
               std::size_t& got) override {
    auto* bytes = static_cast<unsigned char*>(buffer);
    got = 0;
    while (got < count) {
      const std::size_t want = count - got < kMaxTransfer ? count - got : kMaxTransfer;
      OVERLAPPED overlapped = at_offset(offset + static_cast<std::int64_t>(got));
      DWORD done = 0;
      if (!ReadFile(to_handle(file), bytes + got, static_cast<DWORD>(want), &done, &overlapped)) {
        if (GetLastError() == ERROR_HANDLE_EOF) return true;
        return remember(false);
      }
      if (done == 0) return true;  // end of file
      got += done;
    }
    return true;
  }

  bool write_at(File file, std::int64_t offset, const void* buffer, std::size_t count) override {
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::size_t put = 0;
    while (put < count) {
      const std::size_t want = count - put < kMaxTransfer ? count - put : kMaxTransfer;
      OVERLAPPED overlapped = at_offset(offset + static_cast<std::int64_t>(put));
      DWORD done = 0;
      if (!WriteFile(to_handle(file), bytes + put, static_cast<DWORD>(want), &done, &overlapped)) {
        return remember(false);
      }
      if (done == 0) {
        last_error_ = ERROR_DISK_FULL;
        return false;
      }
      put += done;
    }
    return true;
  }

  bool set_size(File file, std::int64_t size) override {
    // The file pointer is otherwise unused (every transfer carries its own
    // offset), so moving it here disturbs nothing. Works back to Windows XP.
    LARGE_INTEGER end;
    end.QuadPart = size;
    return (SetFilePointerEx(to_handle(file), end, nullptr, FILE_BEGIN) &&
            SetEndOfFile(to_handle(file))) ||
           remember(false);
  }

  bool flush(File file) override {
    return FlushFileBuffers(to_handle(file)) != 0 || remember(false);
  }

  bool close(File file) override { return CloseHandle(to_handle(file)) != 0 || remember(false); }

  std::string error_text() override {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, last_error_, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length > 0 && text != nullptr ? std::string(text, length)
                                                        : "error " + std::to_string(last_error_);
    if (text != nullptr) LocalFree(text);
    // The system's texts end in a line break and often a full stop.
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '.' || message.back() == ' ')) {
      message.pop_back();
    }
    return message;
  }

 private:
  bool remember(bool result) {
    last_error_ = GetLastError();
    return result;
  }

  DWORD last_error_ = 0;
};

volatile LONG interrupted = 0;

}  // namespace

int handle_console_event(unsigned long event) {
  // The first event only sets the flag; the second gets the default
  // handling, which ends the process.
  if (InterlockedExchange(&interrupted, 1) != 0) return FALSE;
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

FileSystem& system_files() {
  static WindowsFiles files;
  return files;
}

void write_stdout(const char* bytes, std::size_t count) {
  // Text mode would expand every "\n" of "\r\n" into another "\r\n".
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
  std::fwrite(bytes, 1, count, stdout);
  std::fflush(stdout);
}

void write_stderr(const char* bytes, std::size_t count) {
  _setmode(_fileno(stderr), _O_BINARY);
  std::fwrite(bytes, 1, count, stderr);
  std::fflush(stderr);
}

void catch_interrupts() { SetConsoleCtrlHandler(on_console_event, TRUE); }

bool interrupt_requested() { return interrupted != 0; }

void release_interrupts() {
  SetConsoleCtrlHandler(on_console_event, FALSE);
  InterlockedExchange(&interrupted, 0);
}

}  // namespace tavo::platform
