// What the files of the Windows platform layer share; platform.h is the
// layer's contract, and each platform_windows_*.cpp implements one concern
// of it: files, flush, ntdll, names, folders, console.
//
// The engine's paths and texts are UTF-8 and files are opened through the
// wide API, so every name and every path length works whatever the ANSI code
// page. That code page is used only where bytes leave the program for others
// to read: the name in the record and output to a pipe or a file.
// Files are opened for overlapped I/O and every transfer carries its 64-bit
// offset, which is what lets the 32-bit program handle files past 4 GiB and
// lets a flush on one thread go on while another thread reads and writes.
#ifndef TAVO_PLATFORM_WINDOWS_H
#define TAVO_PLATFORM_WINDOWS_H

#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform.h"

namespace tavo::platform {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

inline bool is_high_surrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
inline bool is_low_surrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// platform_windows_names.cpp

// UTF-8 text in the ANSI code page, '?' for each character the code page
// cannot write.
std::string ansi_from_utf8(const char* text, std::size_t length);
// Whether `path` names this process's own executable.
bool is_own_program(const std::wstring& path);

// platform_windows_ntdll.cpp

// One read or write of `count` bytes at `offset` on an overlapped handle,
// waited for; false with the system's error in GetLastError(). A read at or
// past the end gives 0 bytes.
bool transfer(HANDLE handle, bool writing, std::int64_t offset, void* bytes, DWORD count,
              DWORD& done);
// Opens `name` inside the folder `root` as the kernel names it, relative to
// the handle, so no path is resolved again. Gives the Win32 error, 0 when
// opened.
DWORD open_relative(HANDLE root, const char* name, ACCESS_MASK access, ULONG share, ULONG options,
                    HANDLE& handle);

// platform_windows_flush.cpp

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
  ~BackgroundFlush();

  // `bytes` more were written since the last call. When the run's flush
  // comes next, the rest goes at once: the run reads the next zone before
  // that flush, and the disk writes meanwhile.
  void wrote(std::int64_t bytes, bool flush_follows);

  // Waits for a flush in flight and keeps any other from starting until
  // release(): the run's flush must run alone. Gives the error of any
  // background flush that ever failed, 0 if none.
  DWORD hold();
  void release();

 private:
  // New bytes that make a flush worth starting: a flush also costs the
  // disk a flush of its cache, 1 to 10 ms on a real one.
  static constexpr std::int64_t kStep = std::int64_t{8} << 20;
  static constexpr std::int64_t kUrgentMinimum = std::int64_t{1} << 20;

  bool due() const { return pending_ >= kStep || (urgent_ && pending_ > 0); }
  void work();

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

}  // namespace tavo::platform

#endif  // TAVO_PLATFORM_WINDOWS_H
