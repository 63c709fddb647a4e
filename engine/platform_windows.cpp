// Windows implementation of the platform layer (mingw-w64, 32-bit and 64-bit).
//
// Paths are byte strings in the active code page, so the ANSI entry points
// are used. Positions travel in OVERLAPPED offsets, which are 64-bit on every
// Windows build; that is what lets the 32-bit program handle files past 4 GiB.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

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

}  // namespace

bool open_for_update(const char* path, File& file) {
  HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;

  // Device names such as NUL and CON open successfully; only disk files that
  // are not directories count as files here.
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CloseHandle(handle);
    return false;
  }
  file.handle = reinterpret_cast<std::intptr_t>(handle);
  return true;
}

bool file_size(File file, std::int64_t& size) {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(to_handle(file), &value)) return false;
  size = value.QuadPart;
  return true;
}

bool read_at(File file, std::int64_t offset, void* buffer, std::size_t count, std::size_t& got) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  got = 0;
  while (got < count) {
    const std::size_t want = count - got < kMaxTransfer ? count - got : kMaxTransfer;
    OVERLAPPED overlapped = at_offset(offset + static_cast<std::int64_t>(got));
    DWORD done = 0;
    if (!ReadFile(to_handle(file), bytes + got, static_cast<DWORD>(want), &done, &overlapped)) {
      if (GetLastError() == ERROR_HANDLE_EOF) return true;
      return false;
    }
    if (done == 0) return true;  // end of file
    got += done;
  }
  return true;
}

bool write_at(File file, std::int64_t offset, const void* buffer, std::size_t count) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  std::size_t put = 0;
  while (put < count) {
    const std::size_t want = count - put < kMaxTransfer ? count - put : kMaxTransfer;
    OVERLAPPED overlapped = at_offset(offset + static_cast<std::int64_t>(put));
    DWORD done = 0;
    if (!WriteFile(to_handle(file), bytes + put, static_cast<DWORD>(want), &done, &overlapped) ||
        done == 0) {
      return false;
    }
    put += done;
  }
  return true;
}

bool set_size(File file, std::int64_t size) {
  // The file pointer is otherwise unused (every transfer carries its own
  // offset), so moving it here disturbs nothing. Works back to Windows XP.
  LARGE_INTEGER end;
  end.QuadPart = size;
  return SetFilePointerEx(to_handle(file), end, nullptr, FILE_BEGIN) &&
         SetEndOfFile(to_handle(file));
}

bool close_file(File file) { return CloseHandle(to_handle(file)) != 0; }

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

}  // namespace tavo::platform
