// Linux (POSIX) file and console services.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // fallocate, sync_file_range
#endif

#include <dirent.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform.h"
#include "shared_flush.h"

namespace tavo::platform {
namespace {

int fd_of(File file) { return static_cast<int>(file.handle); }

// Each thread's last failure: runs on several threads share one FileSystem.
thread_local int last_error = 0;

// syncfs reports a failed write back of the file system from Linux 5.8 on,
// and a failure of the file system's own flush (its journal) from 5.17 on;
// before, it may return 0 over either, and only fdatasync can be trusted.
bool syncfs_reports_errors() {
  static const bool reports = [] {
    utsname name{};
    int major = 0, minor = 0;
    return ::uname(&name) == 0 && std::sscanf(name.release, "%d.%d", &major, &minor) == 2 &&
           (major > 5 || (major == 5 && minor >= 17));
  }();
  return reports;
}

// File systems whose syncfs makes every file's data durable: ext4 (also
// for ext2 and ext3) writes back, commits its journal and flushes the
// disk's cache even when nothing was left to commit. XFS and Btrfs send no
// flush when their log is idle, which a rewrite in place can leave it, and
// FUSE passes syncfs to the server only where it asked for it (most never
// do): there each file flushes on its own.
constexpr long kFlushedBySyncfs[] = {0xEF53};

// The system's flushes for a shared flush (shared_flush.h), with this
// thread's errno left as the failing call set it.
class PosixFlushes final : public tavo::SystemFlushes {
 public:
  bool file_system(File file, std::uint64_t& device, bool& flushes_all) override {
    struct stat info {};
    struct statfs system {};
    if (::fstat(fd_of(file), &info) != 0 || ::fstatfs(fd_of(file), &system) != 0) return false;
    device = static_cast<std::uint64_t>(info.st_dev);
    flushes_all = std::find(std::begin(kFlushedBySyncfs), std::end(kFlushedBySyncfs),
                            static_cast<long>(system.f_type)) != std::end(kFlushedBySyncfs);
    return true;
  }
  bool flush_file_system(File file) override { return ::syncfs(fd_of(file)) == 0; }
  bool no_write_failed(File file) override {
    // Waits for nothing (syncfs wrote everything back), then reports this
    // descriptor's unseen write-back failures of the file, as fdatasync does.
    return ::sync_file_range(fd_of(file), 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE) == 0;
  }
  bool flush(File file) override { return ::fdatasync(fd_of(file)) == 0; }
};

// A read through a mapping that fails (an I/O error, or the file cut by
// another program) raises SIGBUS in the thread that reads. Inside
// use_in_place it jumps back there, which reports the failure; anywhere
// else the action from before takes over.
thread_local sigjmp_buf* mapped_read_guard = nullptr;
struct sigaction action_before_ours {};

void on_bus_error(int) {
  if (mapped_read_guard != nullptr) siglongjmp(*mapped_read_guard, 1);
  ::sigaction(SIGBUS, &action_before_ours, nullptr);  // the fault repeats on return
}

void guard_mapped_reads() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_handler = on_bus_error;
    // Not blocked while handled: the jump back then needs no saved mask,
    // which would cost a system call at every use_in_place.
    action.sa_flags = SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &action_before_ours);
  });
}

class PosixFiles final : public FileSystem {
 public:
  OpenStatus open(const char* path, Access access, File& file) override {
    return open_in(nullptr, path, access, file);
  }

  OpenStatus open_in(const Folder* folder, const char* name, Access access, File& file) override {
    // Over a file-size limit a write must fail with EFBIG, not kill the
    // process half-way through a pass.
    signal(SIGXFSZ, SIG_IGN);
    // Inside a folder, O_NOFOLLOW refuses a link put in the file's place;
    // O_NONBLOCK keeps a FIFO from blocking the open, and it is rejected below.
    const int flags = (access == Access::read_only ? O_RDONLY : O_RDWR) | O_NOCTTY | O_CLOEXEC |
                      O_NONBLOCK | (folder != nullptr ? O_NOFOLLOW : 0);
    const int fd =
        ::openat(folder != nullptr ? static_cast<int>(folder->handle) : AT_FDCWD, name, flags);
    if (fd < 0) return remember(OpenStatus::failed);
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
      const int error = errno;
      ::close(fd);
      errno = error;
      return remember(OpenStatus::failed);
    }
    if (!S_ISREG(info.st_mode)) {
      ::close(fd);
      return OpenStatus::not_regular;
    }
    // Peeks share the lock with each other; a run holds it alone.
    const int mode = access == Access::update ? LOCK_EX : LOCK_SH;
    while (::flock(fd, mode | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      errno = error;
      return error == EWOULDBLOCK ? OpenStatus::in_use : remember(OpenStatus::failed);
    }
    file.handle = fd;
    return OpenStatus::opened;
  }

  bool size(File file, std::int64_t& size) override {
    struct stat info {};
    if (::fstat(fd_of(file), &info) != 0) return remember(false);
    size = static_cast<std::int64_t>(info.st_size);
    return true;
  }

  bool read_at(File file, std::int64_t offset, void* buffer, std::size_t count,
               std::size_t& got) override {
    auto* bytes = static_cast<char*>(buffer);
    got = 0;
    while (got < count) {
      const ssize_t n = ::pread(fd_of(file), bytes + got, count - got,
                                static_cast<off_t>(offset) + static_cast<off_t>(got));
      if (n < 0) {
        if (errno == EINTR) continue;
        return remember(false);
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    return true;
  }

  bool write_at(File file, std::int64_t offset, const void* buffer, std::size_t count) override {
    const auto* bytes = static_cast<const char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
      const ssize_t n = ::pwrite(fd_of(file), bytes + done, count - done,
                                 static_cast<off_t>(offset) + static_cast<off_t>(done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return remember(false);
      }
      if (n == 0) {
        errno = ENOSPC;
        return remember(false);
      }
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  bool set_size(File file, std::int64_t size) override {
    for (;;) {
      if (::ftruncate(fd_of(file), static_cast<off_t>(size)) == 0) return true;
      if (errno != EINTR) return remember(false);
    }
  }

  bool flush(File file) override {
    // Never retried on EINTR or anything else: after a failed flush the
    // kernel may already have dropped the pages it could not write.
    return ::fdatasync(fd_of(file)) == 0 || remember(false);
  }

  bool flush_together(const File* files, std::size_t count) override {
    if (count == 1 || !syncfs_reports_errors()) return FileSystem::flush_together(files, count);
    PosixFlushes system;
    return tavo::flush_files(system, files, count) || remember(false);
  }

  void start_writeback(File file, std::int64_t offset, std::int64_t length, bool) override {
    ::sync_file_range(fd_of(file), static_cast<off_t>(offset), static_cast<off_t>(length),
                      SYNC_FILE_RANGE_WRITE);
  }

  void prefetch(File file, std::int64_t offset, std::int64_t length) override {
    ::posix_fadvise(fd_of(file), static_cast<off_t>(offset), static_cast<off_t>(length),
                    POSIX_FADV_WILLNEED);
  }
  InPlace use_in_place(File file, std::int64_t offset, std::size_t count,
                       void (*use)(void*, const std::uint8_t*), void* context) override {
    static const std::int64_t page_size = ::sysconf(_SC_PAGESIZE);
    guard_mapped_reads();
    const std::int64_t start = offset / page_size * page_size;
    const std::size_t length = count + static_cast<std::size_t>(offset - start);
    // Populated at once: one call instead of a fault every few pages.
    void* view = ::mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, fd_of(file),
                        static_cast<off_t>(start));
    if (view == MAP_FAILED) return InPlace::unavailable;
    sigjmp_buf guard;
    const bool cut_short = sigsetjmp(guard, 0) != 0;
    if (!cut_short) {
      mapped_read_guard = &guard;
      use(context, static_cast<const std::uint8_t*>(view) + (offset - start));
    }
    mapped_read_guard = nullptr;
    ::munmap(view, length);
    if (!cut_short) return InPlace::used;
    errno = EIO;
    return remember(InPlace::failed);
  }

  bool reserve(File file, std::int64_t offset, std::int64_t length) override {
    for (;;) {
      if (::fallocate(fd_of(file), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                      static_cast<off_t>(length)) == 0) {
        return true;
      }
      if (errno == EINTR) continue;
      // File systems without preallocation find out at the first write.
      return !(errno == ENOSPC || errno == EFBIG || errno == EDQUOT) || remember(false);
    }
  }

  bool modified(File file, FileTime& time) override {
    struct stat info {};
    if (::fstat(fd_of(file), &info) != 0) return remember(false);
    time = {static_cast<std::int64_t>(info.st_mtim.tv_sec),
            static_cast<std::int32_t>(info.st_mtim.tv_nsec)};
    return true;
  }

  bool set_modified(File file, const FileTime& time) override {
    // The access time stays as the run left it.
    const timespec times[2] = {{0, UTIME_OMIT},
                               {static_cast<time_t>(time.seconds), time.nanoseconds}};
    return ::futimens(fd_of(file), times) == 0 || remember(false);
  }

  bool close(File file) override { return ::close(fd_of(file)) == 0 || remember(false); }

  std::string error_text() override { return std::strerror(last_error); }

 private:
  template <typename T>
  T remember(T result) {
    last_error = errno;
    return result;
  }
};

volatile sig_atomic_t interrupted = 0;
// When the first interrupt came, in milliseconds of the monotonic clock; 0: none yet.
std::atomic<long long> first_interrupt_ms{0};

long long monotonic_ms() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);  // safe in a signal handler
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void on_interrupt(int signal_number) {
  // The first of signals that other threads may be handling at once wins.
  long long first = 0;
  const long long now = monotonic_ms();
  if (first_interrupt_ms.compare_exchange_strong(first, now)) {
    interrupted = 1;
    return;
  }
  if (now - first < kRepeatPauseMs) return;  // the same request
  // Asked again after a pause: end as the signal ends a process. It is
  // blocked while handled, so it arrives as soon as this returns.
  struct sigaction usual {};
  usual.sa_handler = SIG_DFL;
  sigemptyset(&usual.sa_mask);
  ::sigaction(signal_number, &usual, nullptr);
  ::raise(signal_number);
}

}  // namespace

FileSystem& system_files() {
  static PosixFiles files;
  return files;
}

bool hash_thread_pays() { return std::thread::hardware_concurrency() > 1; }

bool exists(const char* path) { return ::access(path, F_OK) == 0; }

void write_stdout(const char* bytes, std::size_t count) {
  std::fwrite(bytes, 1, count, stdout);
  std::fflush(stdout);
}

void write_stderr(const char* bytes, std::size_t count) {
  std::fwrite(bytes, 1, count, stderr);
  std::fflush(stderr);
}

void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  // Each of them is blocked while any one is handled, so the handler never
  // races itself.
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signal_number);
  action.sa_flags = SA_RESTART;
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
}

bool interrupt_requested() { return interrupted != 0; }

void release_interrupts() {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) signal(signal_number, SIG_DFL);
  interrupted = 0;
  first_interrupt_ms = 0;
}

std::string record_name(const char* path) {
  const char* backslash = std::strrchr(path, '\\');
  return backslash != nullptr ? backslash + 1 : path;
}

std::string displayed_name(const std::string& stored) { return stored; }

namespace {

bool is_own_program(const struct stat& info) {
  static const struct stat own = [] {
    struct stat self {};
    if (::stat("/proc/self/exe", &self) != 0) self.st_ino = 0;
    return self;
  }();
  return own.st_ino != 0 && info.st_dev == own.st_dev && info.st_ino == own.st_ino;
}

FileIdentity identity_of(const struct stat& info) {
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

EntryKind kind_from(const struct stat& info) {
  if (S_ISREG(info.st_mode)) return EntryKind::file;
  if (S_ISDIR(info.st_mode)) return EntryKind::folder;
  if (S_ISLNK(info.st_mode)) return EntryKind::link;
  return EntryKind::other;
}

}  // namespace

EntryKind kind_of(const char* path, std::int64_t& size, bool& own_program, FileIdentity& identity) {
  struct stat info {};
  if (::stat(path, &info) != 0) return EntryKind::missing;
  size = static_cast<std::int64_t>(info.st_size);
  own_program = is_own_program(info);
  identity = identity_of(info);
  return kind_from(info);
}

std::size_t folder_budget() {
  // Raising the soft limit to the hard one is what it is for; the kernel
  // caps an unlimited one at its own maximum.
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 16;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = std::min<rlim_t>(limit.rlim_max, rlim_t{1} << 20);
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  // Half of what is left after the standard streams, the runs' own files and
  // what a list or a hash thread may hold.
  const rlim_t spare = limit.rlim_cur > 128 ? (limit.rlim_cur - 128) / 2 : 2;
  return static_cast<std::size_t>(std::clamp<rlim_t>(spare, 2, 1024));
}

bool open_folder(const char* path, Folder& folder, std::string& error) {
  const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  folder.handle = fd;
  return true;
}

bool open_subfolder(Folder parent, const char* name, Folder& folder, std::string& error) {
  const int fd = ::openat(static_cast<int>(parent.handle), name,
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  folder.handle = fd;
  return true;
}

bool list_folder(Folder folder, const std::string&, const char*, std::vector<FolderEntry>& entries,
                 std::string& error) {
  // The stream reads through a descriptor of its own, so `folder` stays open.
  const int fd = ::dup(static_cast<int>(folder.handle));
  DIR* stream = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (stream == nullptr) {
    error = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> closer(stream, ::closedir);
  ::rewinddir(stream);
  errno = 0;
  while (const dirent* entry = ::readdir(stream)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    struct stat info {};
    FolderEntry found{name, EntryKind::missing, 0, false, {}};
    // Relative to the opened folder and never through a link.
    if (::fstatat(static_cast<int>(folder.handle), name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
      found.kind = kind_from(info);
      found.size = static_cast<std::int64_t>(info.st_size);
      found.own_program = found.kind == EntryKind::file && is_own_program(info);
      found.identity = identity_of(info);
    }
    entries.push_back(std::move(found));
    errno = 0;
  }
  if (errno != 0) {
    error = std::strerror(errno);
    return false;
  }
  return true;
}

void close_folder(Folder folder) { ::close(static_cast<int>(folder.handle)); }

bool read_all(const char* path, std::string& text, std::string& error) {
  const bool standard_input = std::strcmp(path, "-") == 0;
  const int fd = standard_input ? STDIN_FILENO : ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  char block[65536];
  ssize_t got = 0;
  while ((got = ::read(fd, block, sizeof block)) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    text.append(block, static_cast<std::size_t>(got));
  }
  if (got < 0) error = std::strerror(errno);
  if (!standard_input) ::close(fd);
  return got == 0;
}

bool is_pattern(const char*) { return false; }

char folder_separator() { return '/'; }

bool shell_expands_patterns() { return true; }

}  // namespace tavo::platform
