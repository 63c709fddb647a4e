// What the files of the Linux platform layer share; platform.h is the
// layer's contract, and each platform_posix_*.cpp implements one concern of
// it: files, flush, folders, names, console.
#ifndef TAVO_PLATFORM_POSIX_H
#define TAVO_PLATFORM_POSIX_H

#include <cstddef>

#include "platform.h"

namespace tavo::platform {

inline int fd_of(File file) { return static_cast<int>(file.handle); }

// platform_posix_flush.cpp

// Whether syncfs reports what fdatasync would: a failed write back of the
// file system and a failure of its own flush.
bool syncfs_reports_errors();
// Makes the writes of `count` files durable with as few flushes as their
// file systems allow, as FileSystem::flush_together; after a failure errno
// is as the failing call left it.
bool flush_by_file_system(const File* files, std::size_t count);

}  // namespace tavo::platform

#endif  // TAVO_PLATFORM_POSIX_H
