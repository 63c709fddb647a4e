// The Linux FileSystem (system_files()): opening and locking, transfers,
// reads in place through a mapping, sizes, flushes and modification times;
// and a list read whole. Its shared flush is platform_posix_flush.cpp.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // fallocate, sync_file_range
#endif

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "platform_posix.h"

namespace tavo::platform {
namespace {

// Each thread's last failure: runs on several threads share one FileSystem.
thread_local int last_error = 0;

class PosixFiles final : public FileSystem {
 public:
  OpenStatus open(const char* path, Access access, File& file) override {
    return open_in(nullptr, path, access, file);
  }

  OpenStatus open_in(const Folder* folder, const char* name, Access access, File& file) override {
    // Over a file-size limit a write must fail with EFBIG, not kill the
    // process half-way through a pass.
    // Once: a run over many files opens thousands.
    static const bool ignored = signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
    (void)ignored;
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
    return flush_by_file_system(files, count) || remember(false);
  }

  void start_writeback(File file, std::int64_t offset, std::int64_t length, bool) override {
    ::sync_file_range(fd_of(file), static_cast<off_t>(offset), static_cast<off_t>(length),
                      SYNC_FILE_RANGE_WRITE);
  }

  void prefetch(File file, std::int64_t offset, std::int64_t length) override {
    ::posix_fadvise(fd_of(file), static_cast<off_t>(offset), static_cast<off_t>(length),
                    POSIX_FADV_WILLNEED);
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

}  // namespace

FileSystem& system_files() {
  static PosixFiles files;
  return files;
}

bool hash_thread_pays() {
  // Asked for every file of a run over many files: the system is asked once.
  static const bool pays = std::thread::hardware_concurrency() > 1;
  return pays;
}

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

}  // namespace tavo::platform
