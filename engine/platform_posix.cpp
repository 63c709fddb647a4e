// Linux (POSIX) file and console services.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform.h"

namespace tavo::platform {
namespace {

int fd_of(File file) { return static_cast<int>(file.handle); }

}  // namespace

bool open_for_update(const char* path, File& file) {
  // Over a file-size limit a write must fail with EFBIG, not kill the process
  // half-way through a pass.
  signal(SIGXFSZ, SIG_IGN);
  // O_NONBLOCK keeps a FIFO from blocking the open; it is rejected below.
  const int fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return false;
  }
  file.handle = fd;
  return true;
}

bool file_size(File file, std::int64_t& size) {
  struct stat info {};
  if (::fstat(fd_of(file), &info) != 0) return false;
  size = static_cast<std::int64_t>(info.st_size);
  return true;
}

bool read_at(File file, std::int64_t offset, void* buffer, std::size_t count, std::size_t& got) {
  auto* bytes = static_cast<char*>(buffer);
  got = 0;
  while (got < count) {
    const ssize_t n = ::pread(fd_of(file), bytes + got, count - got,
                              static_cast<off_t>(offset) + static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

bool write_at(File file, std::int64_t offset, const void* buffer, std::size_t count) {
  const auto* bytes = static_cast<const char*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::pwrite(fd_of(file), bytes + done, count - done,
                               static_cast<off_t>(offset) + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool set_size(File file, std::int64_t size) {
  for (;;) {
    if (::ftruncate(fd_of(file), static_cast<off_t>(size)) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool close_file(File file) { return ::close(fd_of(file)) == 0; }

bool exists(const char* path) { return ::access(path, F_OK) == 0; }

void write_stdout(const char* bytes, std::size_t count) {
  std::fwrite(bytes, 1, count, stdout);
  std::fflush(stdout);
}

void write_stderr(const char* bytes, std::size_t count) {
  std::fwrite(bytes, 1, count, stderr);
  std::fflush(stderr);
}

std::string record_name(const char* path) {
  const char* backslash = std::strrchr(path, '\\');
  return backslash != nullptr ? backslash + 1 : path;
}

std::string displayed_name(const std::string& stored) { return stored; }

}  // namespace tavo::platform
