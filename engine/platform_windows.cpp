// Windows implementation of the platform layer (mingw-w64, 32-bit and 64-bit).
//
// The engine's paths and texts are UTF-8 and files are opened through the
// wide API, so every name and every path length works whatever the ANSI code
// page. That code page is used only where bytes leave the program for others
// to read: the name in the record and output to a pipe or a file.
// Files are opened for overlapped I/O and every transfer carries its 64-bit
// offset, which is what lets the 32-bit program handle files past 4 GiB and
// lets a flush on one thread go on while another thread reads and writes.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform.h"

namespace tavo::platform {
namespace {

HANDLE to_handle(File file) { return reinterpret_cast<HANDLE>(file.handle); }

// Each thread's last failure: runs on several threads share one FileSystem.
thread_local DWORD last_error = 0;

// A transfer takes a 32-bit count; one call never moves more.
constexpr std::size_t kMaxTransfer = 1u << 30;

// Flushes one file, on a thread that serves that file alone, whenever
// enough new bytes were written, so the disk writes them back while the run
// goes on and the run's own flush has little left. A run over many files has
// one for each large file running, so several may flush at once, each its
// own handle. The system may write any page back at any time anyway; an
// extra flush only makes writes durable sooner, which no crash state of the
// run excludes.
class BackgroundFlush {
 public:
  explicit BackgroundFlush(HANDLE handle) : handle_(handle) {}
  BackgroundFlush(const BackgroundFlush&) = delete;
  BackgroundFlush& operator=(const BackgroundFlush&) = delete;

  ~BackgroundFlush() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();  // after a flush in flight ends
  }

  // `bytes` more were written since the last call. When the run's flush
  // comes next, the rest goes at once: the run reads the next zone before
  // that flush, and the disk writes meanwhile.
  // A small file, or the small rest of a zone, is left to the run's flush:
  // flushed here too it would cost a thread and a second flush of the disk.
  void wrote(std::int64_t bytes, bool flush_follows) {
    std::unique_lock<std::mutex> lock(mutex_);
    pending_ += bytes;
    urgent_ = urgent_ || (flush_follows && pending_ >= kUrgentMinimum);
    if (!due()) return;
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread([this] { work(); });
      } catch (const std::system_error&) {
        return;  // only a hint: the run's own flushes do it all
      }
    }
    if (!flushing_) {
      lock.unlock();
      changed_.notify_all();
    }
  }

  // Waits for a flush in flight and keeps any other from starting until
  // release(): the run's flush must run alone. Two flushes of one file at
  // once may report a write error to only one of them (Linux does, and so
  // Wine), so the run's could succeed over a write the background one saw
  // fail; here the run's flush starts only after the background one ended
  // and its result was taken.
  // Gives the error of any background flush that ever failed, 0 if none:
  // what it failed to write may be lost, whatever later flushes say, so the
  // failure stays and fails every later flush of the file.
  DWORD hold() {
    std::unique_lock<std::mutex> lock(mutex_);
    held_ = true;
    changed_.wait(lock, [this] { return !flushing_; });
    pending_ = 0;  // the run's flush takes all written so far
    urgent_ = false;
    return failure_;
  }

  void release() {
    const std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
  }

 private:
  // New bytes that make a flush worth starting: a flush also costs the
  // disk a flush of its cache, 1 to 10 ms on a real one.
  static constexpr std::int64_t kStep = std::int64_t{8} << 20;
  static constexpr std::int64_t kUrgentMinimum = std::int64_t{1} << 20;

  bool due() const { return pending_ >= kStep || (urgent_ && pending_ > 0); }

  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return stopping_ || (!held_ && due()); });
      if (stopping_) return;
      pending_ = 0;
      urgent_ = false;
      flushing_ = true;
      lock.unlock();
      const DWORD error = FlushFileBuffers(handle_) ? 0 : GetLastError();
      lock.lock();
      if (error != 0 && failure_ == 0) failure_ = error;
      flushing_ = false;
      changed_.notify_all();
    }
  }

  const HANDLE handle_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::int64_t pending_ = 0;  // bytes written since the last flush began
  bool urgent_ = false;       // the run's flush follows: flush what is pending now
  bool flushing_ = false;     // a background flush is in flight
  bool held_ = false;         // the run's flush is going on
  bool stopping_ = false;
  DWORD failure_ = 0;
  std::thread thread_;
};

// Moves the file pointer, which only SetEndOfFile uses now.
bool seek(HANDLE handle, std::int64_t offset) {
  LARGE_INTEGER position;
  position.QuadPart = offset;
  return SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) != 0;
}

// The system's text for an error, in UTF-8 as all the engine's text is here.
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

bool is_high_surrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

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

// UTF-8 text in the ANSI code page, '?' for each character the code page
// cannot write: WC_NO_BEST_FIT_CHARS, because a look-alike letter ("L" for
// "Ł") would name another file. No ANSI code page but UTF-8 holds characters
// beyond U+FFFF, so each becomes one '?', not one per surrogate.
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

// The calls of ntdll.dll that open a name relative to a handle and move
// bytes without an event. Every process has ntdll.dll loaded; taking them
// from it keeps the programs' imports to the documented DLLs.
struct NtFunctions {
  NTSTATUS(NTAPI* create_file)
  (PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
   ULONG, PVOID, ULONG);
  ULONG(NTAPI* status_to_error)(NTSTATUS);
  using Transfer = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID,
                                    ULONG, PLARGE_INTEGER, PULONG);
  Transfer read_file;
  Transfer write_file;
};

const NtFunctions& nt_functions() {
  static const NtFunctions functions = [] {
    NtFunctions found{};
    if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
      found.create_file = reinterpret_cast<decltype(found.create_file)>(
          reinterpret_cast<void*>(GetProcAddress(ntdll, "NtCreateFile")));
      found.status_to_error = reinterpret_cast<decltype(found.status_to_error)>(
          reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
      found.read_file = reinterpret_cast<NtFunctions::Transfer>(
          reinterpret_cast<void*>(GetProcAddress(ntdll, "NtReadFile")));
      found.write_file = reinterpret_cast<NtFunctions::Transfer>(
          reinterpret_cast<void*>(GetProcAddress(ntdll, "NtWriteFile")));
    }
    return found;
  }();
  return functions;
}

// One read or write of `count` bytes at `offset` on an overlapped handle,
// waited for; false with the system's error in GetLastError(). A read at or
// past the end gives 0 bytes. No event and no completion: ReadFile and
// WriteFile on such a handle signal one or post one, and under Wine either
// is a round trip to its server for every transfer (0.1 to 0.3 s per GiB
// in 1 MiB blocks), where this costs what a pread or pwrite does.
bool transfer(HANDLE handle, bool writing, std::int64_t offset, void* bytes, DWORD count,
              DWORD& done) {
  done = 0;
  const NtFunctions& nt = nt_functions();
  if (nt.read_file == nullptr || nt.write_file == nullptr || nt.status_to_error == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return false;
  }
  IO_STATUS_BLOCK status_block{};
  status_block.Status = STATUS_PENDING;
  LARGE_INTEGER at;
  at.QuadPart = offset;
  NTSTATUS status = (writing ? nt.write_file : nt.read_file)(
      handle, nullptr, nullptr, nullptr, &status_block, bytes, count, &at, nullptr);
  if (status == STATUS_PENDING) {
    // The system fills in the status block when the transfer ends, whatever
    // this thread is doing then. Every completion on the handle signals it and
    // every transfer started clears it, so another thread's (the background
    // flush's) may undo this one's signal, hence the short turns, or leave
    // the handle signalled, hence the sleep instead of a spin.
    const volatile NTSTATUS& final_status = status_block.Status;
    while (final_status == STATUS_PENDING) {
      if (WaitForSingleObject(handle, 1) == WAIT_OBJECT_0 && final_status == STATUS_PENDING) {
        Sleep(1);
      }
    }
    status = final_status;
  }
  if (status == static_cast<NTSTATUS>(0xC0000011L) && !writing) return true;  // end of file
  if (status < 0) {
    SetLastError(nt.status_to_error(status));
    return false;
  }
  done = static_cast<DWORD>(status_block.Information);
  return true;
}

// Opens `name` inside the folder `root` as the kernel names it, relative to
// the handle, so no path is resolved again. Gives the Win32 error, 0 when
// opened.
DWORD open_relative(HANDLE root, const char* name, ACCESS_MASK access, ULONG share, ULONG options,
                    HANDLE& handle) {
  handle = INVALID_HANDLE_VALUE;
  std::wstring wide;
  if (!utf16_from_utf8(name, std::strlen(name), wide) || wide.empty() ||
      wide.size() * sizeof(wchar_t) > 0xFFFE) {
    return ERROR_INVALID_NAME;
  }
  UNICODE_STRING object_name;
  object_name.Buffer = wide.data();
  object_name.Length = static_cast<USHORT>(wide.size() * sizeof(wchar_t));
  object_name.MaximumLength = object_name.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &object_name, OBJ_CASE_INSENSITIVE, root, nullptr);
  IO_STATUS_BLOCK status_block{};
  HANDLE opened = nullptr;
  const NtFunctions& nt = nt_functions();
  if (nt.create_file == nullptr || nt.status_to_error == nullptr) return ERROR_PROC_NOT_FOUND;
  const NTSTATUS status = nt.create_file(&opened, access, &attributes, &status_block, nullptr, 0,
                                         share, FILE_OPEN, options, nullptr, 0);
  if (status < 0) return nt.status_to_error(status);
  handle = opened;
  return 0;
}

// The path the system holds for an open file or folder; empty where the
// system cannot tell (before Vista).
std::wstring final_path(HANDLE handle) {
  using Function = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
  static const auto get = reinterpret_cast<Function>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW")));
  if (get == nullptr) return std::wstring();
  std::wstring path(512, L'\0');
  DWORD length = get(handle, path.data(), static_cast<DWORD>(path.size()), 0);
  if (length >= path.size()) {
    path.assign(length + 1, L'\0');
    length = get(handle, path.data(), static_cast<DWORD>(path.size()), 0);
  }
  path.resize(length < path.size() ? length : 0);
  return path;
}

// Whether the open file lies directly in the open folder. A link that a
// file system shows as a plain file (Wine shows a Unix link so) opens its
// target, wherever that is; this catches it.
bool lies_in(HANDLE file, HANDLE folder) {
  const std::wstring file_path = final_path(file);
  const std::wstring folder_path = final_path(folder);
  if (file_path.empty() || folder_path.empty()) return true;  // nothing to tell
  const std::size_t cut = file_path.find_last_of(L'\\');
  return cut != std::wstring::npos &&
         _wcsicmp(file_path.substr(0, cut).c_str(), folder_path.c_str()) == 0;
}

class WindowsFiles final : public FileSystem {
 public:
  OpenStatus open(const char* path, Access access, File& file) override {
    // No write sharing: a second run, or any other program writing the file,
    // cannot interleave its writes with this run's. Peeks share reading only.
    // Overlapped, so a flush on another thread leaves the transfers going:
    // Windows makes every call on any other handle wait for the one before.
    (void)access;
    HANDLE handle =
        CreateFileW(system_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
        return OpenStatus::in_use;
      }
      last_error = error;
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

  OpenStatus open_in(const Folder* folder, const char* name, Access access, File& file) override {
    const DWORD wanted = access == Access::read_only ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (folder == nullptr) {
      handle = CreateFileW(system_path(name).c_str(), wanted, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
      if (handle == INVALID_HANDLE_VALUE) last_error = GetLastError();
    } else {
      // Relative to the folder's handle: what sits at `name` now, never
      // what a junction or link there points to. Without
      // FILE_SYNCHRONOUS_IO_NONALERT the handle is overlapped, as above.
      last_error =
          open_relative(reinterpret_cast<HANDLE>(folder->handle), name, wanted | SYNCHRONIZE,
                        FILE_SHARE_READ, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, handle);
    }
    if (handle == INVALID_HANDLE_VALUE) {
      if (last_error == ERROR_SHARING_VIOLATION || last_error == ERROR_LOCK_VIOLATION) {
        return OpenStatus::in_use;
      }
      return OpenStatus::failed;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        (folder != nullptr && !lies_in(handle, reinterpret_cast<HANDLE>(folder->handle)))) {
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
      DWORD done = 0;
      if (!transfer(to_handle(file), false, offset + static_cast<std::int64_t>(got), bytes + got,
                    static_cast<DWORD>(want), done)) {
        return remember(false);
      }
      if (done == 0) return true;  // end of file
      got += done;
    }
    return true;
  }

  bool write_at(File file, std::int64_t offset, const void* buffer, std::size_t count) override {
    // NtWriteFile's buffer is not const, but it only reads it.
    auto* bytes = static_cast<unsigned char*>(const_cast<void*>(buffer));
    std::size_t put = 0;
    while (put < count) {
      const std::size_t want = count - put < kMaxTransfer ? count - put : kMaxTransfer;
      DWORD done = 0;
      if (!transfer(to_handle(file), true, offset + static_cast<std::int64_t>(put), bytes + put,
                    static_cast<DWORD>(want), done)) {
        return remember(false);
      }
      if (done == 0) {
        last_error = ERROR_DISK_FULL;
        return false;
      }
      put += done;
    }
    return true;
  }

  bool set_size(File file, std::int64_t size) override {
    // Transfers carry their offsets, so the file pointer serves only this.
    // Works back to Windows XP.
    return (seek(to_handle(file), size) && SetEndOfFile(to_handle(file))) || remember(false);
  }

  // No flush_together: the base class's gives each file its own flush(), as a run alone has, since
  // a handle's flush covers only that file's writes and reports their errors to that handle alone.
  bool flush(File file) override {
    BackgroundFlush* background = find_background(file);
    if (background != nullptr) {
      const DWORD failure = background->hold();
      if (failure != 0) {
        background->release();
        last_error = failure;
        return false;
      }
    }
    // After every earlier write completed (each is waited for), with no
    // background flush in flight or starting meanwhile.
    const bool flushed = FlushFileBuffers(to_handle(file)) != 0 || remember(false);
    if (background != nullptr) background->release();
    return flushed;
  }

  void start_writeback(File file, std::int64_t, std::int64_t length, bool flush_follows) override {
    BackgroundFlush* background = nullptr;
    {
      const std::lock_guard<std::mutex> lock(backgrounds_mutex_);
      std::unique_ptr<BackgroundFlush>& slot = backgrounds_[to_handle(file)];
      if (!slot) slot.reset(new BackgroundFlush(to_handle(file)));
      background = slot.get();
    }
    background->wrote(length, flush_follows);
  }

  // FILETIME counts 100 ns since 1601; FileTime counts from 1970.
  static constexpr std::int64_t kTicksTo1970 = 116444736000000000;

  bool modified(File file, FileTime& time) override {
    FILETIME written;
    if (!GetFileTime(to_handle(file), nullptr, nullptr, &written)) return remember(false);
    const std::int64_t ticks =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(written.dwHighDateTime) << 32) |
                                  written.dwLowDateTime) -
        kTicksTo1970;
    time = {ticks / 10000000, static_cast<std::int32_t>(ticks % 10000000) * 100};
    return true;
  }

  bool set_modified(File file, const FileTime& time) override {
    const auto ticks =
        static_cast<std::uint64_t>(time.seconds * 10000000 + time.nanoseconds / 100 + kTicksTo1970);
    const FILETIME written{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    return SetFileTime(to_handle(file), nullptr, nullptr, &written) != 0 || remember(false);
  }

  bool close(File file) override {
    std::unique_ptr<BackgroundFlush> background;
    {
      const std::lock_guard<std::mutex> lock(backgrounds_mutex_);
      const auto found = backgrounds_.find(to_handle(file));
      if (found != backgrounds_.end()) {
        background = std::move(found->second);
        backgrounds_.erase(found);
      }
    }
    background.reset();  // its thread ends before the handle goes
    return CloseHandle(to_handle(file)) != 0 || remember(false);
  }

  std::string error_text() override { return error_text_of(last_error); }

 private:
  bool remember(bool result) {
    last_error = GetLastError();
    return result;
  }

  // Null until the file's first start_writeback: peeks and short runs
  // never start a thread. A file is flushed and closed by the thread that
  // writes it, so the pointer stays valid while used without the lock.
  BackgroundFlush* find_background(File file) {
    const std::lock_guard<std::mutex> lock(backgrounds_mutex_);
    const auto found = backgrounds_.find(to_handle(file));
    return found != backgrounds_.end() ? found->second.get() : nullptr;
  }

  std::mutex backgrounds_mutex_;
  std::map<HANDLE, std::unique_ptr<BackgroundFlush>> backgrounds_;
};

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

Utf8Arguments::Utf8Arguments(int argc, const wchar_t* const* argv) {
  for (int i = 0; i < argc; ++i) strings_.push_back(utf8_from_utf16(argv[i], std::wcslen(argv[i])));
  for (const std::string& argument : strings_) pointers_.push_back(argument.c_str());
  pointers_.push_back(nullptr);
}

FileSystem& system_files() {
  // Never destroyed: a flushing thread of a file still open at exit is not
  // joined while the process ends.
  static WindowsFiles& files = *new WindowsFiles;
  return files;
}

// Transfers through the overlapped handle no longer take turns, but the
// second core is busy enough writing back, and under Wine the writes slow
// down while the other thread reads: a run over 1 GiB took 0.86 to 0.93 s
// with the second thread, 0.75 to 0.84 s without it (64-bit), and 0.65 to
// 0.71 s against 0.54 to 0.69 s (32-bit).
bool hash_thread_pays() { return false; }

bool exists(const char* path) {
  return GetFileAttributesW(system_path(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void write_stdout(const char* bytes, std::size_t count) { write_text(stdout, bytes, count); }

void write_stderr(const char* bytes, std::size_t count) { write_text(stderr, bytes, count); }

void catch_interrupts() { SetConsoleCtrlHandler(on_console_event, TRUE); }

bool interrupt_requested() { return first_event_tick.load() != 0; }

void release_interrupts() {
  SetConsoleCtrlHandler(on_console_event, FALSE);
  first_event_tick.store(0);
}

std::string record_name(const char* path) {
  const char* base = path;
  for (const char* c = path; *c != '\0'; ++c) {
    if (*c == '\\' || *c == '/') base = c + 1;
  }
  return ansi_from_utf8(base, std::strlen(base));
}

namespace {

// The full path of a name as the system resolves it, without the \\?\ form.
std::wstring full_path(const std::wstring& path) {
  std::wstring full = path;
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed > 0) {
    full.assign(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    full.resize(length < needed ? length : 0);
  }
  if (starts_with(full, L"\\\\?\\UNC\\")) return L"\\" + full.substr(8);
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

EntryKind kind_from(DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return EntryKind::link;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EntryKind::folder;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return EntryKind::other;
  return EntryKind::file;
}

// The handle of a folder: a directory itself, never a junction's target.
bool checked_folder(HANDLE handle, Folder& folder, std::string& error) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) {
    error = error_text_of(GetLastError());
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    error = "a junction or link, not followed";
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    error = "not a folder";
  } else {
    folder.handle = reinterpret_cast<std::intptr_t>(handle);
    return true;
  }
  CloseHandle(handle);
  return false;
}

constexpr DWORD kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Present from Windows Vista on; looked up so that older systems still run.
using InfoByHandle = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
InfoByHandle info_by_handle() {
  static const auto get = reinterpret_cast<InfoByHandle>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFileInformationByHandleEx")));
  return get;
}

// The lower half of a 128-bit file id; `fits` tells whether that is all of it.
std::uint64_t low_half(const FILE_ID_128& id, bool& fits) {
  std::uint64_t halves[2];
  std::memcpy(halves, id.Identifier, sizeof halves);
  fits = halves[1] == 0;
  return halves[0];
}

// 0 and all ones are no index: a file system that gives none, or whose own is
// too wide for 64 bits. A wide one (ReFS) cut to 64 bits may name two files.
// Nor is a volume without a serial number one volume: Wine gives 0 to every
// file system it cannot place (tmpfs, say), whose numbers may repeat.
FileIdentity identity_from(DWORD volume, std::uint64_t index, bool fits) {
  if (!fits || volume == 0 || index == 0 || index == ~std::uint64_t{0}) return {};
  return {volume, index};
}

FileIdentity identity_of(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return {};
  bool fits = true;
  FILE_ID_INFO wide;  // from Windows 8 on
  const InfoByHandle get = info_by_handle();
  if (get != nullptr && get(handle, FileIdInfo, &wide, sizeof wide)) low_half(wide.FileId, fits);
  return identity_from(info.dwVolumeSerialNumber,
                       (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow, fits);
}

// The identity of `name` in the open folder, opened for it alone.
FileIdentity identity_in(HANDLE folder, const std::string& name) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (open_relative(folder, name.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll,
                    FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, handle) != 0) {
    return {};
  }
  const FileIdentity identity = identity_of(handle);
  CloseHandle(handle);
  return identity;
}

FolderEntry entry_of(const std::string& prefix, const std::wstring& name, DWORD attributes,
                     std::int64_t size) {
  FolderEntry entry{utf8_from_utf16(name), kind_from(attributes), size, false, {}};
  if (entry.kind == EntryKind::file) {
    entry.own_program = is_own_program(system_path((prefix + entry.name).c_str()));
  }
  return entry;
}

std::uint64_t index_of(const FILE_ID_BOTH_DIR_INFO& info, bool& fits) {
  fits = true;
  return static_cast<std::uint64_t>(info.FileId.QuadPart);
}
std::uint64_t index_of(const FILE_ID_EXTD_DIR_INFO& info, bool& fits) {
  return low_half(info.FileId, fits);
}

// Appends the entries of one answer of GetFileInformationByHandleEx.
template <typename Info>
void take_entries(const unsigned char* bytes, DWORD volume, const std::string& prefix,
                  std::vector<FolderEntry>& entries) {
  for (;;) {
    const auto& info = *reinterpret_cast<const Info*>(bytes);
    const std::wstring name(info.FileName, info.FileNameLength / sizeof(wchar_t));
    if (name != L"." && name != L"..") {
      FolderEntry entry = entry_of(prefix, name, info.FileAttributes, info.EndOfFile.QuadPart);
      bool fits = true;
      const std::uint64_t index = index_of(info, fits);
      if (entry.kind == EntryKind::file) entry.identity = identity_from(volume, index, fits);
      entries.push_back(std::move(entry));
    }
    if (info.NextEntryOffset == 0) return;
    bytes += info.NextEntryOffset;
  }
}

enum class Listing { done, failed, unavailable };

// The entries read through the folder's own handle, each file's index among
// them, so no file is opened for its identity. Unavailable before Vista, or
// where the file system gives no such list.
Listing list_with_ids(HANDLE folder, const std::string& prefix, std::vector<FolderEntry>& entries,
                      std::string& error) {
  const InfoByHandle get = info_by_handle();
  BY_HANDLE_FILE_INFORMATION info;
  if (get == nullptr || !GetFileInformationByHandle(folder, &info)) return Listing::unavailable;
  std::vector<std::uint64_t> buffer(8192);  // aligned for the entries' 64-bit fields
  bool wide = true;  // 128-bit ids, which show a ReFS one too wide to keep; from Windows 8 on
  bool first = true;
  for (;;) {
    const FILE_INFO_BY_HANDLE_CLASS kind =
        wide ? (first ? FileIdExtdDirectoryRestartInfo : FileIdExtdDirectoryInfo)
             : (first ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo);
    if (!get(folder, kind, buffer.data(), static_cast<DWORD>(buffer.size() * sizeof buffer[0]))) {
      const DWORD failure = GetLastError();
      if (failure == ERROR_NO_MORE_FILES || (first && failure == ERROR_FILE_NOT_FOUND)) {
        return Listing::done;
      }
      if (!first) {
        error = error_text_of(failure);
        return Listing::failed;
      }
      if (!wide) return Listing::unavailable;
      wide = false;
      continue;
    }
    first = false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    if (wide) {
      take_entries<FILE_ID_EXTD_DIR_INFO>(bytes, info.dwVolumeSerialNumber, prefix, entries);
    } else {
      take_entries<FILE_ID_BOTH_DIR_INFO>(bytes, info.dwVolumeSerialNumber, prefix, entries);
    }
  }
}

}  // namespace

// Windows has no small limit of handles a process may hold open.
std::size_t folder_budget() { return 256; }

EntryKind kind_of(const char* path, std::int64_t& size, bool& own_program, FileIdentity& identity) {
  identity = {};
  const std::wstring system = system_path(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (system.empty() || !GetFileAttributesExW(system.c_str(), GetFileExInfoStandard, &data)) {
    return EntryKind::missing;
  }
  size = static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
                                   data.nFileSizeLow);
  // A path the user names is followed, as open() follows it.
  const DWORD attributes =
      data.dwFileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT);
  const EntryKind kind = kind_from(attributes);
  own_program = kind == EntryKind::file && is_own_program(system);
  if (kind == EntryKind::file) {
    // No data access: no program's sharing mode refuses it.
    const HANDLE handle = CreateFileW(system.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      identity = identity_of(handle);
      CloseHandle(handle);
    }
  }
  return kind;
}

bool open_folder(const char* path, Folder& folder, std::string& error) {
  HANDLE handle = CreateFileW(system_path(path).c_str(), kFolderAccess, kShareAll, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = error_text_of(GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    CloseHandle(handle);
    error = "not a folder";
    return false;
  }
  folder.handle = reinterpret_cast<std::intptr_t>(handle);
  return true;
}

bool open_subfolder(Folder parent, const char* name, Folder& folder, std::string& error) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  const DWORD status =
      open_relative(reinterpret_cast<HANDLE>(parent.handle), name, kFolderAccess, kShareAll,
                    FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT |
                        FILE_SYNCHRONOUS_IO_NONALERT,
                    handle);
  if (status != 0) {
    error = error_text_of(status);
    return false;
  }
  return checked_folder(handle, folder, error);
}

bool list_folder(Folder folder, const std::string& path, const char* pattern,
                 std::vector<FolderEntry>& entries, std::string& error) {
  const auto handle = reinterpret_cast<HANDLE>(folder.handle);
  std::string prefix = path;
  if (!prefix.empty() && prefix.back() != '\\' && prefix.back() != '/' && prefix.back() != ':') {
    prefix += '\\';
  }
  if (pattern == nullptr) {
    const Listing listing = list_with_ids(handle, prefix, entries, error);
    if (listing != Listing::unavailable) return listing == Listing::done;
  }
  // A pattern matches as the system matches names, from the path. Every file
  // and folder is then opened through the folder's handle, so a folder
  // swapped meanwhile can at worst offer names that are not there. A pattern
  // matches few files: each is opened for its identity.
  const std::string query = prefix + (pattern != nullptr ? pattern : "*");
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW(system_path(query.c_str()).c_str(), FindExInfoStandard, &found,
                                   FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD failure = GetLastError();
    if (failure == ERROR_FILE_NOT_FOUND || failure == ERROR_NO_MORE_FILES) return true;
    error = error_text_of(failure);
    return false;
  }
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    FolderEntry entry =
        entry_of(prefix, name, found.dwFileAttributes,
                 static_cast<std::int64_t>((static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) |
                                           found.nFileSizeLow));
    if (entry.kind == EntryKind::file) entry.identity = identity_in(handle, entry.name);
    entries.push_back(std::move(entry));
  } while (FindNextFileW(search, &found));
  const DWORD failure = GetLastError();
  FindClose(search);
  if (failure != ERROR_NO_MORE_FILES) {
    error = error_text_of(failure);
    return false;
  }
  return true;
}

void close_folder(Folder folder) { CloseHandle(reinterpret_cast<HANDLE>(folder.handle)); }

bool read_all(const char* path, std::string& text, std::string& error) {
  const bool standard_input = std::strcmp(path, "-") == 0;
  // Shared with writers: a list may be a pipe or a log another program writes.
  HANDLE handle = standard_input ? GetStdHandle(STD_INPUT_HANDLE)
                                 : CreateFileW(system_path(path).c_str(), GENERIC_READ, kShareAll,
                                               nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    error = error_text_of(GetLastError());
    return false;
  }
  char block[65536];
  DWORD got = 0;
  DWORD failure = 0;
  for (;;) {
    if (!ReadFile(handle, block, sizeof block, &got, nullptr)) {
      failure = GetLastError();
      break;
    }
    if (got == 0) break;
    text.append(block, got);
  }
  if (!standard_input) CloseHandle(handle);
  // A pipe whose writer is gone has simply ended.
  if (failure != 0 && failure != ERROR_BROKEN_PIPE) {
    error = error_text_of(failure);
    return false;
  }
  return true;
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

std::string displayed_name(const std::string& stored) {
  if (stored.empty() || GetACP() == CP_UTF8) return stored;
  const int length = static_cast<int>(stored.size());
  const int size = MultiByteToWideChar(CP_ACP, 0, stored.data(), length, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  MultiByteToWideChar(CP_ACP, 0, stored.data(), length, wide.data(), size);
  return utf8_from_utf16(wide);
}

}  // namespace tavo::platform
