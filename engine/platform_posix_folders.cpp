// The Linux folders: what a path names, folders opened and listed without
// following links, and how many a walk may hold open. Files are in
// platform_posix_files.cpp, names and paths in platform_posix_names.cpp.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform.h"

namespace tavo::platform {
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

}  // namespace tavo::platform
